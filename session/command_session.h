#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "net/connection_session.h"
#include "net/critical_section.h"
#include "net/thread.h"
#include "platform/socket.h"
#include "session/error_queue.h"
#include "session/message_reader.h"
#include "session/response_buffer.h"

class ISessionHost;
class IDevice;
class IUpdateTarget;

// Serves one TCP connection of the data channel on a thread of its own: reads
// program messages, runs their handlers, keeps the connection's error queue.
// A finished session may be handed the next connection (SetSocket, Start).
class CCommandSession : public CConnectionSession {
 public:
  // A handler gets the upper-case header and the terminator that followed it
  // (it reads its own parameters and leaves the last terminator there);
  // > 0 goes on with the next message, <= 0 ends the session.
  using CommandHandler = std::int32_t (CCommandSession::*)(std::string& header, char& terminator);
  using CommandTable = std::map<std::string, CommandHandler>;

  explicit CCommandSession(ISessionHost* server);
  ~CCommandSession() override;

  // Under the lock: closes a socket still held, then keeps the new one.
  void SetSocket(platform::SocketHandle socket) override;
  // The receive loop. Runs on the session's thread; may also be called
  // directly on the caller's thread, which then serves the connection to its
  // end (fuzzing, measurements).
  void Run() override;
  // Shuts down and closes the socket, which makes a receive blocked in Run
  // fail, and waits for the loop to end. Callable from any other thread;
  // always true.
  bool Stop() override;
  // Stop in steps, for stopping many sessions together (the data channel):
  // shut every socket down, wait once for all (WaitForEnd), close the
  // sockets of the sessions still in a call, then Join each.
  void BeginStop() override;
  void CloseIfStillRunning() override;

  // The whole table, filled on first use; shared by all sessions.
  static const CommandTable& Commands();

 private:
  // What ends a message (a command may also end at a semicolon).
  static constexpr char kLf = '\n';

  // Parameter readers for handlers: a parameter that is missing (the message
  // already ended) or malformed is queued and ends the session.
  std::int32_t ExpectMnemonic(std::string& output, char& terminator);
  std::int32_t ExpectString(std::string& output, char& terminator);
  std::int32_t ExpectBlock(const std::uint8_t*& output, char& terminator);
  std::int32_t ExpectNumber(std::int32_t& output, char& terminator);

  // Queues text plus LF behind the answers still waiting; they go out in one
  // send before the session waits for input. The result is that of a send
  // of this answer alone, or kSocketError when a due send failed.
  std::int32_t SendResponse(const std::string& text);
  // The same for an answer that brings its own end (a definite-length block
  // and its LF): queued and logged as it is, nothing added.
  std::int32_t SendRawResponse(const char* bytes, std::size_t length);
  void QueueError(std::int32_t code, std::string_view detail = {});

  // Whether a command may run before a device has been selected.
  static bool RunsWithoutDevice(const std::string& header);
  bool HasDevice() const;
  void ReleaseSelection();
  // Shuts down and closes a socket still held (under the lock), then logs how
  // the close went. False when no socket was held.
  bool CloseSocket();
  // The connection's handle as the log lines show it; kept apart from socket_
  // because a stop may already have closed that.
  unsigned SocketForLog() const { return static_cast<unsigned>(logHandle_); }

  // Identity commands (identity_commands.cpp)
  std::int32_t IdentifyQuery(std::string& header, char& terminator);
  std::int32_t ProductIdQuery(std::string& header, char& terminator);
  std::int32_t CatalogQuery(std::string& header, char& terminator);
  std::int32_t SelectDevice(std::string& header, char& terminator);
  std::int32_t SelectedDeviceQuery(std::string& header, char& terminator);
  std::int32_t OperatingTimeQuery(std::string& header, char& terminator);
  std::int32_t MacAddressQuery(std::string& header, char& terminator);
  std::int32_t TransferVersionQuery(std::string& header, char& terminator);

  // Update commands (update_commands.cpp)
  std::int32_t OpenTransfer(std::string& header, char& terminator);
  std::int32_t TransferChunk(std::string& header, char& terminator);
  std::int32_t CloseTransfer(std::string& header, char& terminator);
  std::int32_t Install(std::string& header, char& terminator);
  std::int32_t BeginInstallation(std::string& header, char& terminator);
  std::int32_t EndInstallation(std::string& header, char& terminator);
  std::int32_t ProgressQuery(std::string& header, char& terminator);
  std::int32_t Reboot(std::string& header, char& terminator);
  std::int32_t ChallengeQuery(std::string& header, char& terminator);
  std::int32_t SendChallengeResponse(std::string& header, char& terminator);
  std::int32_t PresetHandshake(std::string& header, char& terminator);
  // Queues -200 with the update target's last error (no detail when empty).
  void QueueLastError();
  // Writes the transfer chunk that was accepted but not written yet, if any
  // (a failure is queued). A chunk is written after its verdict has gone
  // out, while the tool prepares the next one; it lies in the reader's
  // buffer, so it is written before the reader receives again, before any
  // command but the error query runs, and before the selection goes.
  void WritePendingChunk();

  // Error queue commands (error_commands.cpp)
  std::int32_t NextErrorQuery(std::string& header, char& terminator);
  std::int32_t ClearErrors(std::string& header, char& terminator);

  // Server identity queries of the federation (server_identity_commands.cpp)
  std::int32_t ServerIdQuery(std::string& header, char& terminator);
  std::int32_t HostNameQuery(std::string& header, char& terminator);

  // Relaying the session to another server (server_link_commands.cpp)
  std::int32_t ConnectQuery(std::string& header, char& terminator);
  std::int32_t ConnectMultipleQuery(std::string& header, char& terminator);
  // Relays between the tool and the peer until either side closes, then
  // shuts the peer down and closes it; the relay's result.
  std::int32_t RelayToPeer(platform::SocketHandle peer);
  // Under the lock: a stop ends a running relay, or one being set up, from
  // the peer's side too.
  void ShutdownPeer();
  // The peer link's connection while it is made and prepared (kInvalidSocket
  // once closed), shut down at once when the session is stopping.
  void WatchPeer(platform::SocketHandle peer);
  // False (logged) for an origin that is an address outside "AllowedClients".
  bool IsOriginAllowed(const std::string& origin);

  // Device group and server scan (scan_commands.cpp)
  std::int32_t DeviceGroupQuery(std::string& header, char& terminator);
  std::int32_t SetDeviceGroup(std::string& header, char& terminator);
  std::int32_t ScanQuery(std::string& header, char& terminator);

  ISessionHost* server_;
  IDevice* device_ = nullptr;
  IUpdateTarget* updateTarget_ = nullptr;
  CErrorQueue errorQueue_;
  const std::uint8_t* pendingChunk_ = nullptr;
  std::uint32_t pendingChunkLength_ = 0;
  bool trafficLog_ = true;
  std::string selectedId_;
  bool relayActive_ = false;
  // Set under the lock by a stop, cleared when the session is given its
  // next connection.
  bool stopping_ = false;
  // The connection to the next server while the relay is set up and runs. Set and
  // taken back under the lock; only the session's own thread closes it, so
  // a stop never closes it under a running call.
  std::atomic<platform::SocketHandle> peerSocket_{platform::kInvalidSocket};
  // Written under the lock; read without it only by this session's own
  // thread (the reader), hence atomic.
  std::atomic<platform::SocketHandle> socket_{platform::kInvalidSocket};
  platform::SocketHandle logHandle_ = platform::kInvalidSocket;
  CCriticalSection lock_;
  CResponseBuffer responses_;
  CMessageReader reader_;
};
