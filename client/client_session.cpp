#include "client/client_session.h"

#include <climits>
#include <cstdio>
#include <cstdlib>

#include "client/error.h"
#include "client/progress_answer.h"
#include "client/socket.h"

namespace {

const char* const kUndefined = "undefined";

std::string Strip(std::string text) {
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

// The text between the first of `open` and the next of `close` after it.
std::optional<std::string> Between(const std::string& text, const char* open, const char* close) {
  const std::size_t start = text.find_first_of(open);
  if (start == std::string::npos) return std::nullopt;
  const std::size_t end = text.find_first_of(close, start + 1);
  if (end == std::string::npos) return std::nullopt;
  return text.substr(start + 1, end - start - 1);
}

long DecimalValue(const std::string& text) { return std::strtol(text.c_str(), nullptr, 10); }

// "%d,%d" as sscanf reads it, but a number beyond an int is held at the
// nearest end instead of wrapping: a server that answers 99999999999999999999
// is a new one, not one from before every version.
void ReadVersions(const std::string& text, int& first, int& second) {
  const char* at = text.c_str();
  for (int* value : {&first, &second}) {
    char* end = nullptr;
    const long long number = std::strtoll(at, &end, 10);
    if (end == at) return;
    *value = number > INT_MAX ? INT_MAX : number < INT_MIN ? INT_MIN : static_cast<int>(number);
    if (*end != ',') return;
    at = end + 1;
  }
}

}  // namespace

void CClientSession::SetProgressCallback(ProgressCallback callback, std::uintptr_t context) {
  callback_ = callback;
  context_ = context;
}

void CClientSession::Report(int percent, int state, const char* text) const {
  if (callback_ != nullptr) callback_(context_, percent, state, text);
}

void CClientSession::Identify() {
  identified_ = false;
  identityRead_ = false;
  identification_.clear();
  productId_.clear();
  if (!IsOpen()) throw Fernway::CError("Installation Error: Channel not open!");
  const std::uint32_t timeout = GetTimeout();
  if (timeout < 1000) {
    SetTimeout(1000);
  } else if (timeout > 10000) {
    SetTimeout(10000);
  }
  try {
    identification_ = Query("*IDN?\n");
    identityRead_ = true;
    productId_ = Query("DIAG:PROD:ID?\n");
    const std::string versions = Query("DIAG:UPD:TRAN:VERS?\n");
    ReadVersions(versions, protocolVersion_, descriptionVersion_);
    if (protocolVersion_ >= 120) mac_ = Strip(Query("DIAG:PROD:MAC?\n"));
    if (protocolVersion_ >= 200) vornId_ = Strip(Query("DIAG:VORN:ID?\n"));
    if (protocolVersion_ >= 210) {
      const std::string host = Query("DIAG:VORN:HOST?\n");
      if (host.size() >= 3) host_ = host.substr(1, host.size() - 3);
    }
  } catch (const Fernway::CError& error) {
    SetTimeout(timeout);
    if (error.IsTimeout()) return;
    throw Fernway::CError(error);
  }
  SetTimeout(timeout);
  identified_ = true;
}

void CClientSession::RequireIdentified() const {
  if (!identified_) throw Fernway::CError("This is not a M&K device");
}

int CClientSession::ProtocolVersion() const {
  RequireIdentified();
  return protocolVersion_;
}

int CClientSession::DescriptionVersion() const {
  RequireIdentified();
  return descriptionVersion_;
}

std::string CClientSession::DeviceVersion() const {
  RequireIdentified();
  const std::size_t comma = productId_.rfind(',');
  if (comma == std::string::npos) return kUndefined;
  const std::size_t end = productId_.find_first_of(",\r\n\t", comma + 1);
  return productId_.substr(comma + 1, end == std::string::npos ? end : end - comma - 1);
}

std::string CClientSession::MaterialNumber() const {
  RequireIdentified();
  return Between(productId_, ",", "/\\").value_or(kUndefined);
}

std::string CClientSession::SerialText() const {
  RequireIdentified();
  return Between(productId_, "/\\", ",").value_or(kUndefined);
}

std::string CClientSession::IdnSerialText() const {
  RequireIdentified();
  return Between(identification_, "/\\", ",").value_or(std::string());
}

// The product identifier's serial number wins; the one in the "*IDN?" answer
// counts only when it has all six digits.
std::string CClientSession::SerialNumber() const {
  const long a = DecimalValue(SerialText());
  long value = 0;
  if (a != 0) {
    value = a < 0 || a > 999999 ? 0 : a;
  } else {
    const long b = DecimalValue(IdnSerialText());
    value = b >= 100000 && b <= 999999 ? b : 0;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%06li", value);
  return text;
}

std::string CClientSession::Model() const {
  if (!identityRead_) throw Fernway::CError("This is not a M&K device");
  return Between(identification_, ",", ",").value_or(kUndefined);
}

std::string CClientSession::MacAddress() const {
  RequireIdentified();
  return mac_;
}

std::string CClientSession::VornId() const {
  RequireIdentified();
  return vornId_;
}

std::string CClientSession::Host() const {
  RequireIdentified();
  return host_;
}

platform::Endpoint CClientSession::PeerAddress() const {
  const auto* socket = dynamic_cast<const CSocket*>(this);
  if (socket == nullptr) throw Fernway::CError("Channel has no peer address");
  return socket->GetPeerAddress();
}

void CClientSession::CheckError() { ThrowUnlessNoError(Query("SYST:ERR?\n")); }

void CClientSession::ThrowUnlessNoError(const std::string& answer) {
  if (answer.compare(0, 2, "0,") != 0) throw Fernway::CError(answer);
}

// A device text that comes quoted already is sent as it is, so that a
// catalogue entry can be passed on unchanged.
void CClientSession::Select(const std::string& device) {
  const bool quoted = !device.empty() && (device[0] == '"' || device[0] == '\'');
  SendText("DIAG:PROD:SEL " + (quoted ? device : "\"" + device + "\"") + "\n");
}

std::string CClientSession::SelectedDevice() { return Strip(Query("DIAG:PROD:SEL?\n")); }

std::string CClientSession::Catalog() { return Strip(Query("DIAG:PROD:CAT?\n")); }

void CClientSession::Reboot() { SendText("DIAG:UPD:BOOT\n"); }

int CClientSession::PollProgress() {
  const CProgressAnswer progress = ParseProgressAnswer(Query("DIAG:UPD:PROG?\n"));
  Report(progress.percent, progress.state, progress.text.c_str());
  return progress.state;
}
