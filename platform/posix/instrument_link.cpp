// The instrument link over the posix stand-in (see instrument_protocol.h).
// Linking opens the connection that stands for the reference and the link
// keeps it until it is released; calls from any number of threads take turns
// on it, as calls through proxies of one object reach the same object.
#include "platform/instrument_link.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <mutex>

#include "platform/posix/instrument_protocol.h"

namespace platform {
namespace {

class CRemoteInstrument : public IInstrument {
 public:
  explicit CRemoteInstrument(int connection) : connection_(connection) {}
  ~CRemoteInstrument() override {
    if (connection_ >= 0) ::close(connection_);
  }
  CRemoteInstrument(const CRemoteInstrument&) = delete;
  CRemoteInstrument& operator=(const CRemoteInstrument&) = delete;

  std::int32_t GetChallenge(std::uint8_t* buffer128) override {
    std::int32_t result;
    std::vector<std::uint8_t> results;
    if (!Exchange(kSlotGetChallenge, {}, result, results)) return result;
    if (result != kHresultOk) return result;
    if (results.size() != posix::kChallengeSize) return posix::kHresultInvalidData;
    std::memcpy(buffer128, results.data(), posix::kChallengeSize);
    return result;
  }

  std::int32_t SetResponse(const std::uint8_t* response) override {
    std::vector<std::uint8_t> arguments(response, response + posix::kChallengeSize);
    return Call(kSlotSetResponse, arguments);
  }

  std::int32_t Preset() override { return Call(kSlotPreset, {}); }
  std::int32_t GetMaterialNumber(std::string& text) override {
    return CallForText(kSlotGetMaterialNumber, text);
  }
  std::int32_t GetSerialNumber(std::string& text) override {
    return CallForText(kSlotGetSerialNumber, text);
  }
  std::int32_t GetOperatingTime(std::string& text) override {
    return CallForText(kSlotGetOperatingTime, text);
  }
  std::int32_t GetMacAddress(std::string& text) override {
    return CallForText(kSlotGetMacAddress, text);
  }
  std::int32_t BeginInstallation() override { return Call(kSlotBeginInstallation, {}); }
  std::int32_t EndInstallation() override { return Call(kSlotEndInstallation, {}); }

 private:
  // A call whose transport failed leaves the stream out of step, so the
  // connection goes and later calls fail as through a disconnected proxy.
  bool Exchange(std::uint32_t slot, const std::vector<std::uint8_t>& arguments,
                std::int32_t& result, std::vector<std::uint8_t>& results) {
    std::lock_guard<std::mutex> turn(mutex_);
    if (connection_ < 0) {
      results.clear();
      result = posix::kHresultDisconnected;
      return false;
    }
    if (posix::CallInstrument(connection_, slot, arguments, result, results)) return true;
    ::close(connection_);
    connection_ = -1;
    return false;
  }

  std::int32_t Call(std::uint32_t slot, const std::vector<std::uint8_t>& arguments) {
    std::int32_t result;
    std::vector<std::uint8_t> results;
    Exchange(slot, arguments, result, results);
    return result;
  }

  // The text is handed back whatever the method returned, as a BSTR would be.
  std::int32_t CallForText(std::uint32_t slot, std::string& text) {
    std::int32_t result;
    std::vector<std::uint8_t> results;
    Exchange(slot, {}, result, results);
    text.assign(results.begin(), results.end());
    return result;
  }

  std::mutex mutex_;
  int connection_;
};

// Reads the count and the marshalling data behind it. False when the block
// is shorter than it claims or claims more than any reference needs.
bool ReadBlock(int fd, std::vector<std::uint8_t>& data) {
  struct stat info {};
  if (::fstat(fd, &info) != 0 || info.st_size < 4) return false;
  std::size_t size = static_cast<std::size_t>(info.st_size);
  void* view = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
  if (view == MAP_FAILED) return false;
  const auto* bytes = static_cast<const std::uint8_t*>(view);
  std::uint32_t count = std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 |
                        std::uint32_t{bytes[2]} << 16 | std::uint32_t{bytes[3]} << 24;
  bool ok = count <= posix::kMaxMarshalBytes && count <= size - 4;
  if (ok) data.assign(bytes + 4, bytes + 4 + count);
  ::munmap(view, size);
  return ok;
}

class CInstrumentLinker : public IInstrumentLinker {
 public:
  LinkResult Link(const std::string& blockName, std::shared_ptr<IInstrument>& out) override {
    out.reset();
    std::string name = posix::SharedMemoryObjectName(blockName);
    int fd = ::shm_open(name.c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) return errno == ENOENT ? LinkResult::kNoBlock : LinkResult::kFailed;
    std::vector<std::uint8_t> data;
    bool read = ReadBlock(fd, data);
    ::close(fd);
    if (!read) return LinkResult::kFailed;

    std::string socketPath = posix::UnmarshalEndpoint(data);
    if (socketPath.empty()) return LinkResult::kFailed;
    // Like unmarshalling, linking reaches the object and asks it for the
    // instrument interface; a block left behind by a dead process fails here.
    int connection = posix::ConnectUnixSocket(socketPath);
    if (connection < 0) return LinkResult::kFailed;
    std::int32_t result;
    std::vector<std::uint8_t> results;
    std::string iid = posix::kInstrumentInterfaceName;
    if (!posix::CallInstrument(connection, posix::kSlotQueryInterface,
                               std::vector<std::uint8_t>(iid.begin(), iid.end()), result,
                               results) ||
        result != kHresultOk) {
      ::close(connection);
      return LinkResult::kFailed;
    }
    out = std::make_shared<CRemoteInstrument>(connection);
    return LinkResult::kLinked;
  }
};

}  // namespace

IInstrumentLinker& InstrumentLinker() {
  static CInstrumentLinker linker;
  return linker;
}

}  // namespace platform
