#pragma once
// Stand-ins for the computers of a lab on loopback: every 127.0.0.x answers
// on Linux, so server k lives on its own address with a control channel
// (UDP) and a data channel (a scripted TCP server), and the scanning
// machine's interface table names one /30 network per server.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/neighbour_table.h"
#include "platform/network_interfaces.h"
#include "platform/socket.h"
#include "tests/support/scripted_server.h"
#include "tests/support/udp_responder.h"

namespace vorn_lab {

inline const std::string kMagic = "16EC5C81EFCF44E1B6113D344AC9209F M&K TRLN ";

inline std::uint32_t Loopback(int last) { return 0x7F000000u | static_cast<std::uint32_t>(last); }
// Server k's address: the broadcast address of its /30 network.
inline std::uint32_t ServerAddress(int k) { return Loopback(4 * k + 7); }
inline std::string ServerText(int k) { return platform::FormatAddress(ServerAddress(k)); }

class CFixedTable : public platform::INetworkInterfaces {
 public:
  explicit CFixedTable(int networks) {
    for (int k = 0; k < networks; ++k) rows_.push_back({Loopback(4 * k + 4), 0xFFFFFFFCu});
  }
  bool ReadAddressTable(std::vector<platform::InterfaceAddress>& rows) override {
    rows = rows_;
    return true;
  }
  // The scanning machine's own address on network k.
  static std::uint32_t OwnAddress(int k) { return Loopback(4 * k + 4); }

 private:
  std::vector<platform::InterfaceAddress> rows_;
};

class CFakeNeighbours : public platform::INeighbourTable {
 public:
  bool LookUpMacAddress(std::uint32_t address, std::vector<std::uint8_t>& mac) override {
    asked.push_back(address);
    mac = answer;
    return known;
  }
  bool known = true;
  std::vector<std::uint8_t> answer;
  std::vector<std::uint32_t> asked;
};

// A control channel: answers a query with an identity and a start request
// with its data port, terminated as the service terminates them.
class CUdpResponder : public vorn_test::CUdpResponder {
 public:
  CUdpResponder(std::uint32_t address, std::uint16_t dataPort, std::uint16_t port = 13217)
      : vorn_test::CUdpResponder(address, port, [dataPort](const std::string& datagram) {
          std::string reply;
          if (datagram.rfind(kMagic + "QUERY ID", 0) == 0) {
            reply = kMagic + "ID: Installation Server V2.35.2,__TRL_Tool__ 000001";
          } else if (datagram == kMagic + "START DATA CHANNEL") {
            reply = kMagic + "LISTENING ON PORT " + std::to_string(dataPort);
          }
          if (!reply.empty()) reply.push_back('\0');
          return reply;
        }) {}
};

enum class Behaviour {
  kIdentifies,  // protocol 210, answers DIAG:VORN:ID? with its id
  kOld,         // protocol 190: has no identifier
  kSilent,      // answers the catalogue, never "*IDN?"
};

// One computer: a data channel scripted after its behaviour, and a control
// channel that reports that data channel's port.
class CLabServer {
 public:
  CLabServer(int k, Behaviour behaviour, std::string id = "")
      : data_(Responder(behaviour, std::move(id)), ServerAddress(k)),
        control_(ServerAddress(k), data_.Port()) {}

  bool Ready() const { return control_.Bound() && data_.Port() != 0; }
  std::uint16_t DataPort() const { return data_.Port(); }
  CUdpResponder& Control() { return control_; }
  vorn_test::CScriptedServer& Data() { return data_; }

 private:
  static vorn_test::CScriptedServer::Responder Responder(Behaviour behaviour, std::string id) {
    return [behaviour, id](const std::string& m) -> std::optional<std::string> {
      if (m == "DIAG:PROD:CAT?") return std::string("\"__TRL_Tool__\",\"1234.5678.02\"\n");
      if (behaviour == Behaviour::kSilent) return std::nullopt;
      if (m == "DIAG:VORN:ID?") return "\"" + id + "\"\n";
      if (behaviour == Behaviour::kOld && m == "DIAG:UPD:TRAN:VERS?")
        return std::string("190,135\n");
      return vorn_test::CScriptedServer::IdentityAnswer(m);
    };
  }

  vorn_test::CScriptedServer data_;
  CUdpResponder control_;
};

// Whether replies from 127.0.0.x keep their own source address: Linux routes
// all of 127.0.0.0/8 to loopback; Wine's socket layer answers from 127.0.0.1.
inline bool LoopbackAliasesWork() {
  platform::ISocketApi& sockets = platform::Sockets();
  const platform::SocketHandle a = sockets.Open(platform::SocketKind::kDatagram);
  const platform::SocketHandle b = sockets.Open(platform::SocketKind::kDatagram);
  bool works = sockets.Bind(a, platform::Endpoint{Loopback(9), 0}) == 0;
  platform::Endpoint bound;
  works = works && sockets.GetSockName(a, bound) == 0;
  sockets.SetReceiveTimeout(b, 500);
  works = works && sockets.SendTo(b, "x", 1, bound) == 1;
  works = works && sockets.GetSockName(b, bound) == 0 && sockets.SendTo(a, "y", 1, bound) == 1;
  platform::Endpoint from;
  char c;
  works = works && sockets.RecvFrom(b, &c, 1, from) == 1 && from.address == Loopback(9);
  sockets.Close(a);
  sockets.Close(b);
  return works;
}

}  // namespace vorn_lab
