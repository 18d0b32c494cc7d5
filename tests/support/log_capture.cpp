#include "tests/support/log_capture.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "base/log.h"

namespace vorn_test {
namespace {

std::mutex mutex;
std::condition_variable written;
std::vector<std::string> lines;

void Capture(const char* line) {
  {
    std::lock_guard<std::mutex> guard(mutex);
    lines.emplace_back(line);
  }
  written.notify_all();
  // VORN_TEST_ECHO_LOG=1 shows the lines while debugging a test.
  static const bool echo = std::getenv("VORN_TEST_ECHO_LOG") != nullptr;
  if (echo) std::fputs(line, stderr);
}

}  // namespace

CLogCapture::CLogCapture() {
  Clear();
  SetLogSink(&Capture);
}

CLogCapture::~CLogCapture() { SetLogSink(nullptr); }

std::vector<std::string> CLogCapture::Lines() const {
  std::lock_guard<std::mutex> guard(mutex);
  return lines;
}

void CLogCapture::Clear() {
  std::lock_guard<std::mutex> guard(mutex);
  lines.clear();
}

std::size_t CLogCapture::Count(const std::string& line) const {
  std::lock_guard<std::mutex> guard(mutex);
  std::size_t count = 0;
  for (const auto& l : lines) count += l == line ? 1 : 0;
  return count;
}

long CLogCapture::Find(const std::string& line, std::size_t from) const {
  std::lock_guard<std::mutex> guard(mutex);
  for (std::size_t i = from; i < lines.size(); ++i) {
    if (lines[i] == line) return static_cast<long>(i);
  }
  return -1;
}

bool CLogCapture::WaitFor(const std::string& line, std::uint32_t timeoutMs,
                          std::size_t times) const {
  std::unique_lock<std::mutex> guard(mutex);
  return written.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] {
    std::size_t count = 0;
    for (const auto& l : lines) count += l == line ? 1 : 0;
    return count >= times;
  });
}

}  // namespace vorn_test
