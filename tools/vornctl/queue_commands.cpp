// The small diagnostic subcommands: devices, errors, send, reboot.
#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>

#include "client/error.h"
#include "client/peer_text.h"
#include "client/progress_answer.h"
#include "tools/vornctl/commands.h"
#include "tools/vornctl/connection.h"
#include "tools/vornctl/exit_codes.h"
#include "tools/vornctl/json_output.h"

namespace vornctl {
namespace {

// send shows an answer as the person asked for it, but not more than this.
constexpr std::size_t kMostAnswerBytes = 2048;

// A queue that never empties must not keep the tool reading for ever.
constexpr int kMostErrorEntries = 1000;

std::string Stripped(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

// The header of a program message: its text up to the first blank.
bool IsQuery(const std::string& message) {
  const std::string header = message.substr(0, message.find_first_of(" \t"));
  return !header.empty() && header.back() == '?';
}

// "<number>,..." as every error queue entry starts.
bool IsErrorEntry(const std::string& entry) {
  const std::size_t at = entry.compare(0, 1, "-") == 0 ? 1 : 0;
  const std::size_t digits = entry.find_first_not_of("0123456789", at);
  return digits != std::string::npos && digits > at && entry[digits] == ',';
}

}  // namespace

int RunDevices(const std::string& host, bool json, const Relay& relay) {
  return WithSession(host, relay, 2000, [json](CSocketSession& session, const HostAndPort&) {
    const std::vector<std::string> devices = SplitCatalog(session.Catalog());
    if (json) {
      std::cout << ScriptJson(nlohmann::json(devices)) << "\n";
      return static_cast<int>(kExitOk);
    }
    for (const std::string& device : devices) {
      std::printf("%s\n", PrintablePeerText(device).c_str());
    }
    return static_cast<int>(kExitOk);
  });
}

// Selecting first shows what the selection itself left in the queue.
int RunErrors(const std::string& host, const std::optional<std::string>& device) {
  return WithSession(host, Relay{}, 2000, [&](CSocketSession& session, const HostAndPort&) {
    if (device) session.Select(*device);
    for (int i = 0; i < kMostErrorEntries; ++i) {
      const std::string entry = Stripped(session.Query("SYST:ERR?\n"));
      // Anything else would be read again and again for the whole budget.
      if (!IsErrorEntry(entry)) throw Fernway::CError("not an error queue entry: " + entry);
      std::printf("%s\n", PrintablePeerText(entry).c_str());
      if (entry.compare(0, 2, "0,") == 0) break;
    }
    return static_cast<int>(kExitOk);
  });
}

int RunSend(const std::string& host, const std::optional<std::string>& device,
            const std::vector<std::string>& commands, const Relay& relay) {
  return WithSession(host, relay, 2000, [&](CSocketSession& session, const HostAndPort& where) {
    if (device) session.Select(*device);
    for (const std::string& command : commands) {
      session.SendText(command + "\n");
      if (!IsQuery(command)) continue;
      try {
        std::printf(
            "%s\n",
            PrintablePeerText(Stripped(session.ReceiveResponse()), kMostAnswerBytes).c_str());
      } catch (const Fernway::CError& error) {
        if (!error.IsTimeout()) throw;
        std::fprintf(stderr, "vornctl: %s:%u: no answer to '%s' (SYST:ERR? tells why)\n",
                     where.host.c_str(), static_cast<unsigned>(where.port), command.c_str());
        return static_cast<int>(kExitTimedOut);
      }
    }
    return static_cast<int>(kExitOk);
  });
}

// What reboot reports: "reboot requested" or "failed: <server text>", or
// with --json the same as one object.
int ReportReboot(bool json, const HostAndPort& where, const std::string& device,
                 const std::string& text, ExitCode code) {
  if (json) {
    const nlohmann::json report = {
        {"address", where.host + ":" + std::to_string(where.port)},
        {"device", device},
        {"result", code == kExitOk ? "reboot requested" : "failed"},
        {"exitCode", static_cast<int>(code)},
        {"text", text},
    };
    std::cout << ScriptJson(report) << "\n";
  } else if (code == kExitOk) {
    std::printf("reboot requested\n");
  } else {
    std::printf("failed: %s\n", PrintablePeerText(text).c_str());
  }
  return static_cast<int>(code);
}

int RunReboot(const std::string& host, const std::string& device, bool json) {
  return WithSession(host, Relay{}, 2000, [&](CSocketSession& session, const HostAndPort& where) {
    SelectChecked(session, device);
    session.Reboot();
    // A reboot that fails shows only in the progress; one that works may
    // take the server away before it answers.
    try {
      session.CheckError();
      const CProgressAnswer progress = ParseProgressAnswer(session.Query("DIAG:UPD:PROG?\n"));
      if (progress.state == CClientSession::kErr) {
        return ReportReboot(json, where, device, progress.text, kExitServerError);
      }
    } catch (const Fernway::CError& error) {
      if (!error.IsTimeout()) throw;
    }
    return ReportReboot(json, where, device, std::string(), kExitOk);
  });
}

}  // namespace vornctl
