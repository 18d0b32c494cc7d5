// The writer behind standard error: lines from many threads arrive whole and
// in each thread's order, a reader that stops reading never holds up the
// threads that log (lines beyond the queue are dropped and counted), and
// under systemd every line carries journald's priority prefix.
#include "platform/posix/log_stream_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/journal_stream.h"
#include "tests/support/running_server.h"

namespace {

using platform::DebugPriority;
using platform::posix::CLogStreamWriter;

class Pipe {
 public:
  Pipe() { EXPECT_EQ(pipe2(fds_, O_CLOEXEC), 0); }
  ~Pipe() {
    CloseRead();
    close(fds_[1]);
  }
  int ReadEnd() const { return fds_[0]; }
  int WriteEnd() const { return fds_[1]; }
  void CloseRead() {
    if (fds_[0] >= 0) close(fds_[0]);
    fds_[0] = -1;
  }
  // Reads everything until `done` says the text is complete.
  std::string ReadUntil(const std::function<bool(const std::string&)>& done) {
    std::string text;
    char buffer[65536];
    while (!done(text)) {
      const ssize_t n = read(fds_[0], buffer, sizeof buffer);
      if (n <= 0) break;
      text.append(buffer, static_cast<std::size_t>(n));
    }
    return text;
  }

 private:
  int fds_[2] = {-1, -1};
};

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

constexpr int kThreads = 8;

// Each thread logs "VORN: thread <t> line <i>" for i = 0, 1, ...; checks that
// every line is whole and that each thread's lines come in order. Returns the
// lines seen and adds the counts of the "dropped" notices to `noticed`. The
// test's closing line `last` is passed over.
std::size_t CheckOrderedLines(const std::string& text, const std::string& last,
                              std::uint64_t& noticed) {
  std::vector<long> next(kThreads, 0);
  std::size_t seen = 0;
  for (const std::string& line : SplitLines(text)) {
    if (line == last) continue;
    unsigned long long dropped = 0;
    if (std::sscanf(line.c_str(), "VORN: %llu log lines dropped", &dropped) == 1) {
      noticed += dropped;
      continue;
    }
    int thread = -1;
    long index = -1;
    char end = 0;
    EXPECT_EQ(std::sscanf(line.c_str(), "VORN: thread %d line %ld%c", &thread, &index, &end), 2)
        << "not a whole line: [" << line << "]";
    if (thread < 0 || thread >= kThreads) continue;
    EXPECT_GE(index, next[thread]) << line;
    next[thread] = index + 1;
    ++seen;
  }
  return seen;
}

void LogFromThreads(CLogStreamWriter& writer, int linesPerThread) {
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&writer, t, linesPerThread] {
      char line[64];
      for (int i = 0; i < linesPerThread; ++i) {
        std::snprintf(line, sizeof line, "VORN: thread %d line %d\n", t, i);
        writer.Write(line, DebugPriority::kInformation);
      }
    });
  }
  for (auto& thread : threads) thread.join();
}

TEST(LogStreamWriterTest, LinesFromManyThreadsArriveWholeAndInEachThreadsOrder) {
  constexpr int kLines = 5000;
  Pipe pipe;
  std::string text;
  std::thread reader([&] {
    const std::string last = "VORN: end\n";
    text = pipe.ReadUntil([&](const std::string& t) {
      return t.size() >= last.size() && t.compare(t.size() - last.size(), last.size(), last) == 0;
    });
  });
  {
    CLogStreamWriter writer(pipe.WriteEnd(), 8 * 1024 * 1024, false);
    LogFromThreads(writer, kLines);
    writer.Write("VORN: end\n", DebugPriority::kInformation);
    EXPECT_TRUE(writer.Flush(30000));
    EXPECT_EQ(writer.DroppedLines(), 0u);
  }
  reader.join();
  std::uint64_t noticed = 0;
  EXPECT_EQ(CheckOrderedLines(text, "VORN: end", noticed),
            static_cast<std::size_t>(kThreads * kLines));
  EXPECT_EQ(noticed, 0u);
}

TEST(LogStreamWriterTest, StalledReaderNeverHoldsUpLoggingAndDropsAreCounted) {
  constexpr int kLines = 20000;  // far more than the pipe and the queue hold
  Pipe pipe;
  CLogStreamWriter writer(pipe.WriteEnd(), 64 * 1024, false);
  vorn_test::RunWithin("logging to a reader that does not read", 20000,
                       [&] { LogFromThreads(writer, kLines); });
  EXPECT_FALSE(writer.Flush(100)) << "nothing reads, yet everything was written";
  const std::uint64_t dropped = writer.DroppedLines();
  EXPECT_GT(dropped, 0u);

  // Once the reader reads again, the next line tells how many were lost.
  std::string text;
  std::thread reader([&] {
    text = pipe.ReadUntil([](const std::string& t) {
      return t.find("VORN: after the stall\n") != std::string::npos;
    });
  });
  ASSERT_TRUE(writer.Flush(20000));  // the queue has room again
  writer.Write("VORN: after the stall\n", DebugPriority::kInformation);
  EXPECT_TRUE(writer.Flush(20000));
  reader.join();
  std::uint64_t noticed = 0;
  const std::size_t seen = CheckOrderedLines(text, "VORN: after the stall", noticed);
  EXPECT_EQ(noticed, dropped);
  EXPECT_EQ(seen + dropped, static_cast<std::size_t>(kThreads * kLines));
  EXPECT_EQ(writer.DroppedLines(), dropped);
}

TEST(LogStreamWriterTest, SlowReaderSlowsLoggingDownAndLosesNothing) {
  constexpr int kLines = 2000;
  Pipe pipe;
  std::string text;
  std::thread reader([&] {
    char buffer[4096];
    const std::string last = "VORN: end\n";
    while (text.size() < last.size() ||
           text.compare(text.size() - last.size(), last.size(), last) != 0) {
      const ssize_t n = read(pipe.ReadEnd(), buffer, sizeof buffer);
      if (n <= 0) break;
      text.append(buffer, static_cast<std::size_t>(n));
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  CLogStreamWriter writer(pipe.WriteEnd(), 16 * 1024, false);
  LogFromThreads(writer, kLines);
  writer.Write("VORN: end\n", DebugPriority::kInformation);
  EXPECT_TRUE(writer.Flush(30000));
  reader.join();
  EXPECT_EQ(writer.DroppedLines(), 0u);
  std::uint64_t noticed = 0;
  EXPECT_EQ(CheckOrderedLines(text, "VORN: end", noticed),
            static_cast<std::size_t>(kThreads * kLines));
}

TEST(LogStreamWriterTest, ReaderThatWentAwayEndsNothing) {
  Pipe pipe;
  pipe.CloseRead();  // writes now fail with EPIPE; SIGPIPE must not end the process
  CLogStreamWriter writer(pipe.WriteEnd(), 64 * 1024, false);
  for (int i = 0; i < 100; ++i) writer.Write("VORN: nobody listens\n", DebugPriority::kError);
  EXPECT_TRUE(writer.Flush(10000));
}

TEST(LogStreamWriterTest, JournalStreamLinesCarryTheirPriorityAndNothingElseChanges) {
  struct Case {
    const char* line;
    DebugPriority priority;
    const char* plain;    // written without systemd
    const char* journal;  // written to journald
  };
  const Case cases[] = {
      {"VORN: Unrecognized opcode 2\n", DebugPriority::kInformation,
       "VORN: Unrecognized opcode 2\n", "<6>VORN: Unrecognized opcode 2\n"},
      {"VORN: Unable to start Control or Data channel\n\n", DebugPriority::kError,
       "VORN: Unable to start Control or Data channel\n\n",
       "<3>VORN: Unable to start Control or Data channel\n\n"},
      {"VORN: \nService is listening for 1 Material Number(s): \n", DebugPriority::kInformation,
       "VORN: \nService is listening for 1 Material Number(s): \n",
       "<6>VORN: \n<6>Service is listening for 1 Material Number(s): \n"},
      {"!!!! Quillon: Thread has terminated with exception !!!!\n", DebugPriority::kError,
       "!!!! Quillon: Thread has terminated with exception !!!!\n",
       "<3>!!!! Quillon: Thread has terminated with exception !!!!\n"},
      {"no line feed", DebugPriority::kInformation, "no line feed\n", "<6>no line feed\n"},
  };
  for (bool journal : {false, true}) {
    Pipe pipe;
    std::string expected;
    {
      CLogStreamWriter writer(pipe.WriteEnd(), 64 * 1024, journal);
      for (const Case& c : cases) {
        writer.Write(c.line, c.priority);
        expected += journal ? c.journal : c.plain;
      }
      ASSERT_TRUE(writer.Flush(10000));
    }
    std::string text =
        pipe.ReadUntil([&](const std::string& t) { return t.size() >= expected.size(); });
    EXPECT_EQ(text, expected) << (journal ? "journal" : "plain");
  }
}

TEST(JournalStreamTest, OnlyTheStreamThatSystemdNamedCounts) {
  char path[] = "/tmp/vorn-journal-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  struct stat status;
  ASSERT_EQ(fstat(fd, &status), 0);
  const std::string matching = std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino);
  const std::string other = std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino + 1);
  const std::string trailing = matching + "x";
  struct Case {
    const char* variable;
    bool journal;
  };
  const Case cases[] = {
      {nullptr, false},       {"", false},
      {"garbage", false},     {matching.c_str(), true},
      {other.c_str(), false}, {trailing.c_str(), false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(platform::posix::IsJournalStream(c.variable, fd), c.journal)
        << (c.variable != nullptr ? c.variable : "(unset)");
  }
  close(fd);
  unlink(path);
}

}  // namespace
