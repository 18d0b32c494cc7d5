// Standard error stands in for the debugger output. Lines go through one
// writer thread (log_stream_writer), so logging threads never wait for the
// reader and lines from different threads never interleave.
#include "platform/debug_output.h"

#include <unistd.h>

#include <cstdlib>

#include "platform/posix/journal_stream.h"
#include "platform/posix/log_stream_writer.h"

namespace platform {
namespace {

// About ten thousand typical lines: a start-up with thousands of devices and
// seconds of a journald that is busy elsewhere fit without a drop.
constexpr std::size_t kQueueBytes = 1024 * 1024;
// At exit a reader that does not read must not keep the process alive.
constexpr std::uint32_t kExitFlushMs = 1000;

void FlushAtExit() { FlushDebugOutput(kExitFlushMs); }

// Created on first use and never destroyed: its thread may still be blocked
// on a stalled reader while the process ends.
posix::CLogStreamWriter& Writer() {
  static posix::CLogStreamWriter* writer = [] {
    auto* created = new posix::CLogStreamWriter(
        STDERR_FILENO, kQueueBytes,
        posix::IsJournalStream(std::getenv("JOURNAL_STREAM"), STDERR_FILENO));
    std::atexit(&FlushAtExit);
    return created;
  }();
  return *writer;
}

}  // namespace

void DebugOutput(const char* line, DebugPriority priority) { Writer().Write(line, priority); }

bool FlushDebugOutput(std::uint32_t timeoutMs) { return Writer().Flush(timeoutMs); }

}  // namespace platform
