// Publishing an instrument over the posix stand-in of the link: a Unix domain
// socket in a private temporary directory, named in a shared memory object.
#include "platform/instrument_publisher.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/posix/instrument_protocol.h"

namespace platform {
namespace {

constexpr std::uint32_t kServeTimeoutMs = 5000;

bool WriteBlock(const std::string& blockName, const std::vector<std::uint8_t>& data,
                std::string& error) {
  std::string shmName = posix::SharedMemoryObjectName(blockName);
  int fd = ::shm_open(shmName.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0 && errno == EEXIST) {
    // A block left by a publisher that died is taken over; a live one is not.
    std::shared_ptr<IInstrument> live;
    if (InstrumentLinker().Link(blockName, live) == LinkResult::kLinked) {
      error = "a block of this name is published by a running instrument";
      return false;
    }
    ::shm_unlink(shmName.c_str());
    fd = ::shm_open(shmName.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  }
  if (fd < 0) {
    error = std::string("shm_open: ") + std::strerror(errno);
    return false;
  }
  std::vector<std::uint8_t> block(4 + data.size());
  std::uint32_t count = static_cast<std::uint32_t>(data.size());
  for (int i = 0; i < 4; ++i) block[i] = static_cast<std::uint8_t>(count >> (8 * i));
  std::memcpy(block.data() + 4, data.data(), data.size());
  bool ok = ::ftruncate(fd, static_cast<off_t>(block.size())) == 0 &&
            ::pwrite(fd, block.data(), block.size(), 0) == static_cast<ssize_t>(block.size());
  if (!ok) {
    error = std::string("writing the block: ") + std::strerror(errno);
    ::shm_unlink(shmName.c_str());
  }
  ::close(fd);
  return ok;
}

class CPublication : public IInstrumentPublication {
 public:
  CPublication(std::shared_ptr<IInstrument> instrument, ConnectionObserver observer)
      : instrument_(std::move(instrument)), observer_(std::move(observer)) {}

  ~CPublication() override {
    if (thread_.joinable()) {
      char byte = 0;
      [[maybe_unused]] auto written = ::write(stopPipe_[1], &byte, 1);
      thread_.join();
    }
    for (int connection : connections_) ::close(connection);
    if (!shmName_.empty()) ::shm_unlink(shmName_.c_str());
    if (listener_ >= 0) ::close(listener_);
    if (!socketPath_.empty()) ::unlink(socketPath_.c_str());
    if (!directory_.empty()) ::rmdir(directory_.c_str());
    for (int fd : stopPipe_) {
      if (fd >= 0) ::close(fd);
    }
  }

  bool Publish(const std::string& blockName, std::string& error) {
    char directory[] = "/tmp/vorn-instrument-XXXXXX";
    if (::mkdtemp(directory) == nullptr) {
      error = std::string("mkdtemp: ") + std::strerror(errno);
      return false;
    }
    directory_ = directory;
    socketPath_ = directory_ + "/instrument";

    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, socketPath_.data(), socketPath_.size());
    listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0 ||
        ::bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 16) != 0 || ::pipe2(stopPipe_, O_CLOEXEC) != 0) {
      error = std::string("listening socket: ") + std::strerror(errno);
      return false;
    }
    thread_ = std::thread([this] { Serve(); });

    if (!WriteBlock(blockName, posix::MarshalEndpoint(socketPath_), error)) return false;
    shmName_ = posix::SharedMemoryObjectName(blockName);
    return true;
  }

 private:
  // Every linked caller holds a connection open for as long as it holds the
  // reference; calls on all of them are answered in turn. A caller that
  // stalls in the middle of a request is cut off by the time-out instead of
  // holding up the others for ever.
  void Serve() {
    for (;;) {
      std::vector<pollfd> fds = {{listener_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
      for (int connection : connections_) fds.push_back({connection, POLLIN, 0});
      if (::poll(fds.data(), fds.size(), -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[1].revents != 0) return;
      std::size_t before = connections_.size();
      for (std::size_t i = 2; i < fds.size(); ++i) {
        if (fds[i].revents != 0 && !posix::ServeInstrumentCall(fds[i].fd, *instrument_)) {
          ::close(fds[i].fd);
          connections_.erase(std::find(connections_.begin(), connections_.end(), fds[i].fd));
        }
      }
      if (fds[0].revents != 0) {
        int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection >= 0) {
          posix::SetSocketTimeouts(connection, kServeTimeoutMs);
          connections_.push_back(connection);
        }
      }
      if (observer_ && connections_.size() != before) observer_(connections_.size());
    }
  }

  std::shared_ptr<IInstrument> instrument_;
  ConnectionObserver observer_;
  std::vector<int> connections_;  // owned by the serving thread while it runs
  std::string directory_;
  std::string socketPath_;
  std::string shmName_;
  int listener_ = -1;
  int stopPipe_[2] = {-1, -1};
  std::thread thread_;
};

int g_signalPipe[2] = {-1, -1};

void OnStopSignal(int) {
  int saved = errno;
  char byte = 0;
  [[maybe_unused]] auto written = ::write(g_signalPipe[1], &byte, 1);
  errno = saved;
}

}  // namespace

std::unique_ptr<IInstrumentPublication> PublishInstrument(const std::string& blockName,
                                                          std::shared_ptr<IInstrument> instrument,
                                                          std::string& error,
                                                          ConnectionObserver observer) {
  auto publication = std::make_unique<CPublication>(std::move(instrument), std::move(observer));
  if (!publication->Publish(blockName, error)) return nullptr;
  return publication;
}

void WaitForStopRequest() {
  if (::pipe2(g_signalPipe, O_CLOEXEC) != 0) return;
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGTERM, &action, nullptr);
  ::sigaction(SIGINT, &action, nullptr);

  // Only a pipe or socket on standard input stands for a parent that may go
  // away; a background job's /dev/null would end the wait at once.
  struct stat info {};
  bool watchInput =
      ::fstat(STDIN_FILENO, &info) == 0 && (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode));
  for (;;) {
    pollfd fds[2] = {{g_signalPipe[0], POLLIN, 0}, {watchInput ? STDIN_FILENO : -1, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[0].revents != 0) return;
    if (fds[1].revents != 0) {
      char buffer[256];
      ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
      if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) return;
    }
  }
}

}  // namespace platform
