// Log lines per second written by N threads through the service's log, with
// standard error going where users send it (a pipe that a reader drains, as
// under systemd) and to /dev/null, against the previous path measured in the
// same run: format, then one write(2) per line under one shared lock (the
// server lock). Phases alternate; each figure is the best of its rounds and
// counts a phase as done only when every line has been written out.
//
//   build/linux/bench/log_bench [lines-per-phase]
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/log.h"
#include "platform/debug_output.h"

namespace {

std::mutex serverLock;

// The path before the writer thread: the caller formats and writes the line
// itself, holding the shared lock throughout.
void __attribute__((format(printf, 1, 2))) LogOneWritePerLine(const char* format, ...) {
  std::lock_guard<std::mutex> guard(serverLock);
  char message[2000];
  va_list args;
  va_start(args, format);
  std::vsnprintf(message, sizeof message, format, args);
  va_end(args);
  char line[2048];
  const int n = std::snprintf(line, sizeof line, "%s: %s\n", "VORN", message);
  if (n > 0) {
    [[maybe_unused]] ssize_t written = write(STDERR_FILENO, line, static_cast<std::size_t>(n));
  }
}

// A line like the session traffic lines, the most frequent ones.
template <bool kWriterThread>
void LogLines(int thread, long count) {
  for (long i = 0; i < count; ++i) {
    if constexpr (kWriterThread) {
      Log("Socket[%X] >> *IDN?\\n (%ld)", 0x100 + thread, i);
    } else {
      LogOneWritePerLine("Socket[%X] >> *IDN?\\n (%ld)", 0x100 + thread, i);
    }
  }
}

// Drains a pipe and counts the lines that came through.
struct Drain {
  int readEnd = -1;
  std::atomic<long> lines{0};
  std::thread thread;
  void Start(int fd) {
    readEnd = fd;
    thread = std::thread([this] {
      char buffer[1 << 16];
      for (;;) {
        const ssize_t n = read(readEnd, buffer, sizeof buffer);
        if (n <= 0) return;
        long found = 0;
        for (ssize_t i = 0; i < n; ++i) found += buffer[i] == '\n';
        lines += found;
      }
    });
  }
};

// Lines per second of one phase; `delivered` gets the lines the reader saw.
template <bool kWriterThread>
double Phase(int threads, long lines, Drain* drain, long& delivered) {
  const long before = drain != nullptr ? drain->lines.load() : 0;
  const long perThread = lines / threads;
  const auto begin = std::chrono::steady_clock::now();
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) workers.emplace_back(&LogLines<kWriterThread>, t, perThread);
  for (auto& worker : workers) worker.join();
  if (kWriterThread) platform::FlushDebugOutput(60000);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  if (drain != nullptr) {
    // The pipe may still hold the tail of the phase: wait until it is read.
    long seen = -1;
    while (drain->lines.load() != seen) {
      seen = drain->lines.load();
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    delivered = seen - before;
  } else {
    delivered = perThread * threads;
  }
  return static_cast<double>(perThread * threads) / seconds;
}

}  // namespace

int main(int argc, char** argv) {
  const long lines = argc > 1 ? std::atol(argv[1]) : 200000;
  if (lines <= 0 || lines > 100000000) {
    std::fprintf(stderr, "usage: %s [lines-per-phase]\n", argv[0]);
    return 2;
  }
  const int savedStderr = dup(STDERR_FILENO);
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) return 1;
  Drain drain;
  drain.Start(pipeEnds[0]);
  const int devNull = open("/dev/null", O_WRONLY);

  struct Sink {
    const char* name;
    int fd;
    Drain* drain;
  };
  const Sink sinks[] = {{"pipe", pipeEnds[1], &drain}, {"/dev/null", devNull, nullptr}};
  constexpr int kRounds = 3;
  std::printf("%-10s %7s %16s %16s %7s %s\n", "stderr", "threads", "one write/line",
              "writer thread", "ratio", "lines delivered (writer thread)");
  for (const Sink& sink : sinks) {
    for (int threads : {1, 4, 16, 50}) {
      double oldBest = 0, newBest = 0;
      long oldDelivered = 0, newDelivered = 0, delivered = 0;
      for (int round = 0; round < kRounds; ++round) {
        dup2(sink.fd, STDERR_FILENO);
        const double oldRate = Phase<false>(threads, lines, sink.drain, delivered);
        oldDelivered = delivered;
        const double newRate = Phase<true>(threads, lines, sink.drain, delivered);
        newDelivered = delivered;
        dup2(savedStderr, STDERR_FILENO);
        oldBest = std::max(oldBest, oldRate);
        newBest = std::max(newBest, newRate);
      }
      (void)oldDelivered;
      std::printf("%-10s %7d %12.0f l/s %12.0f l/s %7.2f %ld of %ld\n", sink.name, threads, oldBest,
                  newBest, oldBest > 0 ? newBest / oldBest : 0.0, newDelivered,
                  lines / threads * threads);
      std::fflush(stdout);
    }
  }
  close(pipeEnds[1]);
  drain.thread.join();
  return 0;
}
