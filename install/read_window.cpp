#include "install/read_window.h"

#include <algorithm>

CReadWindow::CReadWindow(std::streambuf& source, std::size_t windowBytes)
    : source_(source), window_(std::max<std::size_t>(windowBytes, 16)) {
  const pos_type start = source_.pubseekoff(0, std::ios_base::cur, std::ios_base::in);
  const pos_type end = source_.pubseekoff(0, std::ios_base::end, std::ios_base::in);
  base_ = start == pos_type(off_type(-1)) ? 0 : off_type(start);
  if (end != pos_type(off_type(-1))) size_ = off_type(end);
}

bool CReadWindow::SyncSource() {
  const off_type at = Position();
  return source_.pubseekpos(at, std::ios_base::in) == pos_type(at);
}

CReadWindow::off_type CReadWindow::Position() const {
  return eback() == nullptr ? base_ : base_ + (gptr() - eback());
}

void CReadWindow::MoveTo(off_type target) {
  const off_type loaded = egptr() - eback();
  if (eback() != nullptr && target >= base_ && target <= base_ + loaded) {
    setg(eback(), eback() + (target - base_), egptr());
    return;
  }
  setg(nullptr, nullptr, nullptr);
  base_ = target;
}

CReadWindow::pos_type CReadWindow::seekoff(off_type off, std::ios_base::seekdir dir,
                                           std::ios_base::openmode which) {
  const pos_type refused = pos_type(off_type(-1));
  if ((which & std::ios_base::in) == 0) return refused;
  off_type target = off;
  if (dir == std::ios_base::cur) {
    target += Position();
  } else if (dir == std::ios_base::end) {
    if (size_ < 0) return refused;
    target += size_;
  }
  if (target < 0) return refused;
  MoveTo(target);
  return pos_type(target);
}

CReadWindow::pos_type CReadWindow::seekpos(pos_type pos, std::ios_base::openmode which) {
  return seekoff(off_type(pos), std::ios_base::beg, which);
}

CReadWindow::int_type CReadWindow::underflow() {
  if (gptr() != nullptr && gptr() < egptr()) return traits_type::to_int_type(*gptr());
  const off_type at = Position();
  const off_type bytes = static_cast<off_type>(window_.size());
  if (size_ >= 0 && at >= size_) return traits_type::eof();

  const bool forward = eback() != nullptr && at == base_ + (egptr() - eback());
  off_type start = forward ? at : std::max<off_type>(0, at - (bytes - bytes / 4));
  off_type want = bytes;
  if (size_ >= 0) want = std::min(want, size_ - start);
  setg(nullptr, nullptr, nullptr);
  base_ = at;
  if (source_.pubseekpos(start, std::ios_base::in) != pos_type(start)) return traits_type::eof();
  const off_type got = source_.sgetn(window_.data(), want);
  if (got <= at - start) return traits_type::eof();
  base_ = start;
  setg(window_.data(), window_.data() + (at - start), window_.data() + got);
  return traits_type::to_int_type(*gptr());
}
