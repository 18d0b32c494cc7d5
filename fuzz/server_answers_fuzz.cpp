// Arbitrary bytes as what a server answers the client, one answer per line:
// the identity queries, the catalogue, progress replies, and the text the
// tools quote from them. Nothing may crash, allocate by a number the server
// sent, or let a control character through to a terminal.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "client/client_session.h"
#include "client/error.h"
#include "client/peer_text.h"
#include "client/progress_answer.h"
#include "platform/socket.h"

namespace {

// A channel that answers each read with the next line of the input and
// times out when they are used up.
class CScriptedChannel : public CClientSession {
 public:
  explicit CScriptedChannel(std::vector<std::string> answers) : answers_(std::move(answers)) {}

  void Open() override {}
  bool IsOpen() const override { return true; }
  void Close() override {}
  const char* GetName() const override { return "fuzz"; }
  std::string GetAddress() const override { return "127.0.0.1"; }
  std::uint32_t GetTimeout() const override { return timeout_; }
  void SetTimeout(std::uint32_t ms) override { timeout_ = ms; }
  int Send(const void*, int length) override { return length; }
  void Flush() override {}
  int Read(void* buffer, int capacity) override {
    if (next_ >= answers_.size()) throw Fernway::CSocketError(platform::kWsaEtimedout);
    const std::string& answer = answers_[next_++];
    const int n = std::min(capacity, static_cast<int>(answer.size()));
    std::memcpy(buffer, answer.data(), static_cast<std::size_t>(n));
    return n;
  }
  void Clear() override {}
  void SetAttribute(std::uint32_t, std::uint32_t) override {}
  std::uint32_t GetAttribute(std::uint32_t) override { return 0; }
  std::string GetResource() const override { return "fuzz"; }

 private:
  std::vector<std::string> answers_;
  std::size_t next_ = 0;
  std::uint32_t timeout_ = 2000;
};

void CheckPrintable(const std::string& text) {
  if (!IsValidUtf8(PeerTextToUtf8(text))) std::abort();
  const std::string shown = PrintablePeerText(text);
  if (shown.size() > kQuotedPeerTextBytes + 32 || !IsValidUtf8(shown)) std::abort();
  for (std::size_t i = 0; i < shown.size(); ++i) {
    const auto c = static_cast<unsigned char>(shown[i]);
    if (c < 0x20 || c == 0x7F) std::abort();
    if (c == 0xC2 && i + 1 < shown.size() && static_cast<unsigned char>(shown[i + 1]) < 0xA0) {
      std::abort();
    }
  }
}

void Ask(CScriptedChannel& session) {
  try {
    session.Identify();
    if (!session.IsIdentified()) return;
    const std::string texts[] = {session.Model(),        session.MaterialNumber(),
                                 session.SerialNumber(), session.DeviceVersion(),
                                 session.MacAddress(),   session.VornId(),
                                 session.Host(),         session.SerialText()};
    for (const std::string& text : texts) CheckPrintable(text);
    session.ProtocolVersion();
    CheckPrintable(session.Catalog());
    session.CheckError();
    for (int i = 0; i < 4; ++i) session.PollProgress();
  } catch (const Fernway::CError& error) {
    CheckPrintable(error.Message());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> answers;
  for (std::size_t at = 0; at < bytes.size();) {
    const std::size_t end = bytes.find('\n', at);
    const std::size_t next = end == std::string::npos ? bytes.size() : end + 1;
    answers.push_back(bytes.substr(at, next - at));
    at = next;
  }
  for (const std::string& answer : answers) {
    try {
      const CProgressAnswer progress = ParseProgressAnswer(answer);
      if (progress.state < 0 || progress.state > CClientSession::kBoot) std::abort();
      CheckPrintable(progress.text);
    } catch (const Fernway::CError&) {
    }
  }
  CScriptedChannel session(answers);
  Ask(session);
  return 0;
}
