#pragma once
// Writes finished log lines to a file descriptor (standard error) from a
// thread of its own, so that the threads that log never wait for the reader.
// Callers append whole lines to a bounded queue under a short lock; the
// writer takes everything queued at once and writes it with one write(2).
// The order of the lines is the order in which they were handed over.

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/debug_output.h"

namespace platform::posix {

class CLogStreamWriter {
 public:
  // capacityBytes bounds the lines waiting for the writer (the batch being
  // written is not counted). With journalPrefixes every line carries the
  // syslog priority prefix of journald's stream protocol.
  CLogStreamWriter(int fd, std::size_t capacityBytes, bool journalPrefixes);
  // Writes out what is queued (waiting for the reader as long as it takes)
  // and ends the thread. The process-wide writer is never destroyed.
  ~CLogStreamWriter();
  CLogStreamWriter(const CLogStreamWriter&) = delete;
  CLogStreamWriter& operator=(const CLogStreamWriter&) = delete;

  // How long the writer may wait in one write before the reader counts as
  // stalled.
  static constexpr std::chrono::milliseconds kStallLimit{500};
  // Below this many queued bytes the writer waits kGatherTime for more
  // lines before it writes (not while someone waits in Flush).
  static constexpr std::size_t kGatherBytes = 32 * 1024;
  static constexpr std::chrono::microseconds kGatherTime{1000};

  // Queues one line (a line feed is added when it has none). When the queue
  // is full, the caller waits for room as long as the reader keeps reading;
  // once the reader has stalled (kStallLimit), a line that does not fit is
  // dropped at once and counted, and the next line that fits is preceded by
  // a line telling how many were dropped.
  void Write(const char* line, DebugPriority priority);
  // Waits at most timeoutMs for everything queued to be written.
  bool Flush(std::uint32_t timeoutMs);
  std::uint64_t DroppedLines() const;

 private:
  static void* ThreadEntry(void* self);
  void Run();
  static void AppendLine(std::string& out, const char* text, std::size_t length,
                         DebugPriority priority, bool prefixes);
  void WriteBatch(const std::string& batch);
  bool WriterStalledLocked() const;

  const int fd_;
  const std::size_t capacity_;
  const bool journalPrefixes_;

  mutable std::mutex mutex_;
  std::condition_variable queued_;   // the writer waits for lines
  std::condition_variable drained_;  // Flush waits for the queue to empty
  std::condition_variable room_;     // full-queue callers wait for the writer
  std::atomic<std::chrono::steady_clock::time_point> lastProgress_{};
  std::string pending_;
  std::uint64_t droppedSinceNotice_ = 0;
  std::uint64_t droppedTotal_ = 0;
  bool writing_ = false;
  int flushWaiters_ = 0;
  bool stopping_ = false;
  bool started_ = false;
  pthread_t thread_{};
};

}  // namespace platform::posix
