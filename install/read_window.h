#pragma once

#include <cstddef>
#include <streambuf>
#include <vector>

// A read-only view of another stream buffer that keeps one window of its
// bytes in memory and serves seeks and reads inside that window without
// asking the source. The container walk jumps back and forth over a few
// hundred bytes per entry (trailer, record fields, the previous trailer); a
// file buffer answers each of those seeks with a system call and a refill,
// which made a container of many small entries cost minutes.
//
// A miss loads the window so that the position sits near its end, since the
// walk moves from the end of the file towards its start; reading on forward
// from the end of the window loads the next one from there.
class CReadWindow : public std::streambuf {
 public:
  static constexpr std::size_t kDefaultBytes = 65536;

  // Starts at the source's current position. A source that cannot tell its
  // size refuses seeks relative to the end.
  explicit CReadWindow(std::streambuf& source, std::size_t windowBytes = kDefaultBytes);

  // Moves the source to the position reached here, as if every read and seek
  // had gone to it. False when the source refuses.
  bool SyncSource();

 protected:
  pos_type seekoff(off_type off, std::ios_base::seekdir dir,
                   std::ios_base::openmode which) override;
  pos_type seekpos(pos_type pos, std::ios_base::openmode which) override;
  int_type underflow() override;

 private:
  off_type Position() const;
  void MoveTo(off_type target);

  std::streambuf& source_;
  std::vector<char> window_;
  off_type base_ = 0;  // source offset of window_[0], or the position while nothing is loaded
  off_type size_ = -1;
};
