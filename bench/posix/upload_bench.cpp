// Upload throughput of one package from the client library to the service
// over loopback,
// against a bare stop-and-wait echo of the same 64 KiB blocks in the same run
// (one round trip per block is the protocol's own limit: a tool learns of a
// checksum error before it sends the next block), printed as a ratio; and the
// service's peak memory during the upload, which should not grow with the
// package's size. The package comes from a stream that repeats one block, as
// a file would come from the page cache.
//
// The service runs as a child process (build/linux/vornsvc) over a registry
// file of its own, so its peak resident set (VmHWM) is its alone. It binds
// port 13217, so run the benchmark in a namespace of its own:
//   scripts/run-isolated.sh build/linux/bench/upload_bench [MiB, default 256]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "client/error.h"
#include "client/socket_session.h"
#include "install/package_description.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kBlock = 65536;
constexpr std::uint16_t kServicePort = 13217;

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "upload_bench: %s\n", what.c_str());
  std::exit(1);
}

int Connect(std::uint16_t port) {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    ::close(s);
    return -1;
  }
  const int one = 1;
  ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return s;
}

void SendAll(int s, const char* data, std::size_t length) {
  while (length > 0) {
    const ssize_t n = ::send(s, data, length, MSG_NOSIGNAL);
    if (n <= 0) Fail("send failed");
    data += n;
    length -= static_cast<std::size_t>(n);
  }
}

void ReceiveExactly(int s, char* data, std::size_t length) {
  while (length > 0) {
    const ssize_t n = ::recv(s, data, length, 0);
    if (n <= 0) Fail("connection closed");
    data += n;
    length -= static_cast<std::size_t>(n);
  }
}

// Every byte received goes straight back; one connection.
class CEchoServer {
 public:
  CEchoServer() {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof at;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
        ::listen(listener_, 1) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&at), &size) != 0) {
      Fail("echo server cannot listen");
    }
    port_ = ntohs(at.sin_port);
    thread_ = std::thread([this] {
      const int s = ::accept(listener_, nullptr, nullptr);
      const int one = 1;
      ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      std::vector<char> buffer(kBlock);
      for (;;) {
        const ssize_t n = ::recv(s, buffer.data(), buffer.size(), 0);
        if (n <= 0) break;
        SendAll(s, buffer.data(), static_cast<std::size_t>(n));
      }
      ::close(s);
    });
  }
  ~CEchoServer() {
    thread_.join();
    ::close(listener_);
  }
  std::uint16_t Port() const { return port_; }

 private:
  int listener_ = -1;
  std::uint16_t port_ = 0;
  std::thread thread_;
};

double EchoSeconds(const std::vector<char>& block, std::size_t blocks) {
  CEchoServer echo;
  const int s = Connect(echo.Port());
  if (s < 0) Fail("cannot connect to the echo server");
  std::vector<char> back(block.size());
  const Clock::time_point start = Clock::now();
  for (std::size_t i = 0; i < blocks; ++i) {
    SendAll(s, block.data(), block.size());
    ReceiveExactly(s, back.data(), back.size());
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  ::close(s);
  return seconds;
}

class CService {
 public:
  explicit CService(const std::filesystem::path& dir) {
    const std::filesystem::path registry = dir / "registry.reg";
    {
      std::ifstream defaults(VORN_SOURCE_DIR "/config/default-registry.reg");
      std::ofstream out(registry);
      out << defaults.rdbuf() << "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Marrow&Keplin\\Trellane]\n"
          << "\"SoftwareInstallationPath\"=\"" << (dir / "transfer").string() << "\"\n";
    }
    const std::string program = VORN_BINARY_DIR "/vornsvc";
    const std::string registryPath = registry.string();
    std::vector<char*> argv{const_cast<char*>(program.c_str()), const_cast<char*>("--registry"),
                            const_cast<char*>(registryPath.c_str()), nullptr};
    // Its log line per block goes nowhere: the transfer is measured, not the
    // terminal.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
      Fail("cannot start " + program);
    }
    posix_spawn_file_actions_destroy(&actions);
  }
  ~CService() {
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  // kB, from /proc/PID/status.
  long Status(const char* field) const {
    std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
    std::string line;
    const std::string prefix = std::string(field) + ":";
    while (std::getline(in, line)) {
      if (line.rfind(prefix, 0) == 0) return std::strtol(line.c_str() + prefix.size(), nullptr, 10);
    }
    return -1;
  }

 private:
  pid_t pid_ = -1;
};

// The package's bytes: one block over and over, handed out the way a file
// stream hands them out, so the tool copies every block as it would from a
// file.
class CRepeatingBlock : public std::streambuf {
 public:
  CRepeatingBlock(std::vector<char>& block, std::size_t total) : block_(block), left_(total) {}

 protected:
  int_type underflow() override {
    if (left_ == 0) return traits_type::eof();
    const std::size_t n = std::min(left_, block_.size());
    left_ -= n;
    setg(block_.data(), block_.data(), block_.data() + n);
    return traits_type::to_int_type(block_[0]);
  }

 private:
  std::vector<char>& block_;
  std::size_t left_;
};

void ConnectToService(CSocketSession& session) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    try {
      session.Connect("127.0.0.1", kServicePort);
      return;
    } catch (const Fernway::CError&) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  Fail("the service does not accept connections");
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
  if (mib == 0) Fail("usage: upload_bench [MiB > 0]");
  const std::size_t blocks = mib * 1024 * 1024 / kBlock;
  std::vector<char> block(kBlock);
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 131 + 7);

  char pattern[] = "/tmp/vorn-upload-bench.XXXXXX";
  if (::mkdtemp(pattern) == nullptr) Fail("cannot make a directory");
  const std::filesystem::path dir = pattern;

  // Echo and upload alternate, so that a slow spell of the machine falls on
  // both; each round gives a ratio, and the median of them is the figure.
  constexpr int kRounds = 5;
  std::vector<double> ratios;
  double uploadSeconds = 1e9;
  double echoSeconds = 1e9;
  long rssBefore = 0;
  long peak = 0;
  {
    CService service(dir);
    CSocketSession session;
    ConnectToService(session);
    CPackageDescription description;
    description.Name = "Bench";
    description.FileName = "bench.bin";
    description.PackageType = CPackageDescription::kTypeNotInstallable;
    description.ChunkSize = kBlock;
    try {
      session.Select("1234.5678.02");
      session.CheckError();
      rssBefore = service.Status("VmRSS");
      for (int round = 0; round < kRounds; ++round) {
        // Each round writes a new file, as a fresh package would be: the
        // one before is removed outside the measured time.
        if (round > 0) {
          std::filesystem::remove(dir / "transfer" / description.FileName);
          description.FileName = "bench" + std::to_string(round) + ".bin";
        }
        const double echo = EchoSeconds(block, blocks);
        CRepeatingBlock source(block, blocks * kBlock);
        std::istream in(&source);
        const Clock::time_point start = Clock::now();
        session.TransferOnly(description, in, static_cast<std::uint32_t>(blocks * kBlock));
        const double upload = std::chrono::duration<double>(Clock::now() - start).count();
        ratios.push_back(echo / upload);
        uploadSeconds = std::min(uploadSeconds, upload);
        echoSeconds = std::min(echoSeconds, echo);
      }
    } catch (const Fernway::CError& error) {
      Fail("upload: " + error.Message());
    }
    peak = service.Status("VmHWM");
    if (std::filesystem::file_size(dir / "transfer" / description.FileName) != blocks * kBlock) {
      Fail("the uploaded file has the wrong size");
    }
    session.Close();
  }
  std::filesystem::remove_all(dir);

  const double megabytes = static_cast<double>(blocks * kBlock) / (1024.0 * 1024.0);
  std::printf("package                 %8.0f MiB in %zu blocks of %zu bytes\n", megabytes, blocks,
              kBlock);
  std::sort(ratios.begin(), ratios.end());
  std::printf("upload (best round)     %8.1f MiB/s\n", megabytes / uploadSeconds);
  std::printf("stop-and-wait echo      %8.1f MiB/s\n", megabytes / echoSeconds);
  std::printf("upload / echo           %8.2f median of %zu rounds, %.2f to %.2f (goal >= 0.85)\n",
              ratios[ratios.size() / 2], ratios.size(), ratios.front(), ratios.back());
  std::printf("service RSS before data %8ld kB\n", rssBefore);
  std::printf("service peak (VmHWM)    %8ld kB (goal: independent of the package size)\n", peak);
  return 0;
}
