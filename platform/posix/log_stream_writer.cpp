#include "platform/posix/log_stream_writer.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <thread>

#include "platform/posix/retry_interrupted.h"
#include "platform/thread.h"

namespace platform::posix {
namespace {

// journald's stream protocol: "<3>" is LOG_ERR, "<6>" LOG_INFO.
constexpr std::size_t kPrefixLength = 3;

const char* PrefixOf(DebugPriority priority) {
  return priority == DebugPriority::kError ? "<3>" : "<6>";
}

// Bytes that `text` takes in the stream: a line feed is added when missing,
// and with prefixes every non-empty physical line gets one (an empty line
// has nothing to classify, journald files it under the stream's default).
std::size_t StreamLength(const char* text, std::size_t length, bool prefixes) {
  std::size_t size = length;
  if (length == 0 || text[length - 1] != '\n') ++size;
  if (!prefixes) return size;
  bool atLineStart = true;
  for (std::size_t i = 0; i < length; ++i) {
    if (atLineStart && text[i] != '\n') size += kPrefixLength;
    atLineStart = text[i] == '\n';
  }
  return size;
}

}  // namespace

CLogStreamWriter::CLogStreamWriter(int fd, std::size_t capacityBytes, bool journalPrefixes)
    : fd_(fd), capacity_(capacityBytes), journalPrefixes_(journalPrefixes) {
  pending_.reserve(capacity_);
  // The writer takes no signal meant for the process (the service host waits
  // for SIGTERM on its own thread), and a reader that went away gives EPIPE
  // here instead of SIGPIPE. Faults stay deliverable for crash reports.
  sigset_t all, previous;
  sigfillset(&all);
  for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP}) sigdelset(&all, fault);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, kThreadStackSize);
  started_ = pthread_create(&thread_, &attributes, &CLogStreamWriter::ThreadEntry, this) == 0;
  pthread_attr_destroy(&attributes);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

CLogStreamWriter::~CLogStreamWriter() {
  if (!started_) return;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    stopping_ = true;
  }
  queued_.notify_one();
  pthread_join(thread_, nullptr);
}

void* CLogStreamWriter::ThreadEntry(void* self) {
  static_cast<CLogStreamWriter*>(self)->Run();
  return nullptr;
}

void CLogStreamWriter::Write(const char* line, DebugPriority priority) {
  if (line == nullptr) return;
  const std::size_t length = std::strlen(line);
  if (!started_) {
    // No writer thread: write in place rather than lose the line.
    std::string text;
    AppendLine(text, line, length, priority, journalPrefixes_);
    WriteBatch(text);
    return;
  }
  std::unique_lock<std::mutex> guard(mutex_);
  char notice[96];
  std::size_t noticeLength;
  for (;;) {
    std::size_t needed = StreamLength(line, length, journalPrefixes_);
    noticeLength = 0;
    if (droppedSinceNotice_ > 0) {
      const int n = std::snprintf(
          notice, sizeof notice,
          "VORN: %" PRIu64 " log lines dropped, the log reader fell behind\n", droppedSinceNotice_);
      noticeLength = n > 0 ? static_cast<std::size_t>(n) : 0;
      needed += StreamLength(notice, noticeLength, journalPrefixes_);
    }
    if (pending_.size() + needed <= capacity_) break;
    // A reader that keeps reading slows the callers down to its pace; one
    // that has not taken anything for a while loses the lines instead.
    if (needed > capacity_ || WriterStalledLocked()) {
      ++droppedSinceNotice_;
      ++droppedTotal_;
      return;
    }
    room_.wait_for(guard, kStallLimit / 4);
  }
  const bool wasEmpty = pending_.empty();
  if (noticeLength > 0) {
    AppendLine(pending_, notice, noticeLength, DebugPriority::kError, journalPrefixes_);
    droppedSinceNotice_ = 0;
  }
  AppendLine(pending_, line, length, priority, journalPrefixes_);
  guard.unlock();
  if (wasEmpty) queued_.notify_one();
}

bool CLogStreamWriter::WriterStalledLocked() const {
  return writing_ && std::chrono::steady_clock::now() - lastProgress_.load() > kStallLimit;
}

void CLogStreamWriter::AppendLine(std::string& out, const char* text, std::size_t length,
                                  DebugPriority priority, bool prefixes) {
  if (!prefixes) {
    out.append(text, length);
  } else {
    const char* prefix = PrefixOf(priority);
    std::size_t start = 0;
    while (start < length) {
      const char* end = static_cast<const char*>(std::memchr(text + start, '\n', length - start));
      const std::size_t stop = end != nullptr ? static_cast<std::size_t>(end - text) + 1 : length;
      if (text[start] != '\n') out.append(prefix, kPrefixLength);
      out.append(text + start, stop - start);
      start = stop;
    }
  }
  if (length == 0 || text[length - 1] != '\n') out.push_back('\n');
}

bool CLogStreamWriter::Flush(std::uint32_t timeoutMs) {
  std::unique_lock<std::mutex> guard(mutex_);
  ++flushWaiters_;
  const bool drained = drained_.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                         [this] { return pending_.empty() && !writing_; });
  --flushWaiters_;
  return drained;
}

std::uint64_t CLogStreamWriter::DroppedLines() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return droppedTotal_;
}

void CLogStreamWriter::Run() {
  std::string batch;
  batch.reserve(capacity_);
  std::unique_lock<std::mutex> guard(mutex_);
  for (;;) {
    queued_.wait(guard, [this] { return !pending_.empty() || stopping_; });
    if (pending_.empty()) return;  // stopping, and everything is out
    // A busy service logs a line per request: let them gather for a moment
    // instead of waking for each one, so a batch costs one write and the
    // loggers rarely meet the writer on the lock.
    if (pending_.size() < kGatherBytes && !stopping_ && flushWaiters_ == 0) {
      guard.unlock();
      std::this_thread::sleep_for(kGatherTime);
      guard.lock();
    }
    batch.swap(pending_);
    writing_ = true;
    lastProgress_ = std::chrono::steady_clock::now();
    guard.unlock();
    room_.notify_all();
    WriteBatch(batch);
    batch.clear();
    guard.lock();
    writing_ = false;
    if (pending_.empty()) drained_.notify_all();
  }
}

// Blocks while the reader does not read: only this thread waits for it.
// Written in slices so that a reader that reads slowly is seen to make
// progress and is not taken for a stalled one.
void CLogStreamWriter::WriteBatch(const std::string& batch) {
  constexpr std::size_t kSlice = 64 * 1024;
  std::size_t written = 0;
  while (written < batch.size()) {
    const std::size_t size = std::min(kSlice, batch.size() - written);
    const ssize_t n = RetryInterrupted([&] { return write(fd_, batch.data() + written, size); });
    if (n > 0) {
      written += static_cast<std::size_t>(n);
      lastProgress_ = std::chrono::steady_clock::now();
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // Someone made the descriptor non-blocking; wait for room instead.
      pollfd ready{fd_, POLLOUT, 0};
      RetryInterrupted([&] { return poll(&ready, 1, -1); });
    } else {
      return;  // a closed or failing standard error: nowhere to report it
    }
  }
}

}  // namespace platform::posix
