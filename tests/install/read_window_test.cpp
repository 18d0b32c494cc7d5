#include "install/read_window.h"

#include <gtest/gtest.h>

#include <istream>
#include <sstream>
#include <string>

namespace {

std::string Bytes(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + (i * 7 + i / 26) % 26);
  return s;
}

// Seeks and reads through a small window give what the same seeks and reads
// give on the bytes themselves: across window edges, at the start and the
// end, and past the end.
TEST(ReadWindowTest, SeeksAndReadsMatchTheSource) {
  const std::string bytes = Bytes(1000);
  std::stringbuf source(bytes, std::ios::in);
  CReadWindow window(source, 16);
  std::istream viaWindow(&window);
  std::stringbuf plain(bytes, std::ios::in);
  std::istream direct(&plain);

  struct Step {
    std::streamoff offset;
    std::ios::seekdir dir;
    std::streamsize read;
  };
  const Step steps[] = {
      {-8, std::ios::end, 8},  {-200, std::ios::cur, 5}, {0, std::ios::beg, 40},
      {3, std::ios::cur, 1},   {500, std::ios::beg, 12}, {-13, std::ios::cur, 13},
      {-1, std::ios::cur, 30}, {0, std::ios::cur, 100},  {990, std::ios::beg, 50},
      {0, std::ios::end, 4},   {-16, std::ios::end, 16}, {-32, std::ios::cur, 64},
      {11, std::ios::beg, 0},  {4, std::ios::cur, 900},  {1, std::ios::beg, 999},
  };
  for (const Step& s : steps) {
    for (std::istream* in : {&viaWindow, &direct}) {
      in->clear();
      in->seekg(s.offset, s.dir);
    }
    const std::streampos at = direct.tellg();
    ASSERT_EQ(viaWindow.tellg(), at) << "seek " << s.offset << " from " << s.dir;
    std::string a(static_cast<std::size_t>(s.read), '?');
    std::string b = a;
    viaWindow.read(a.data(), s.read);
    direct.read(b.data(), s.read);
    ASSERT_EQ(viaWindow.gcount(), direct.gcount()) << "read at " << at;
    EXPECT_EQ(a, b) << "read at " << at;
    EXPECT_EQ(viaWindow.eof(), direct.eof()) << "read at " << at;
  }
}

TEST(ReadWindowTest, RefusesBeforeTheStartAndSyncsTheSource) {
  const std::string bytes = Bytes(100);
  std::stringbuf source(bytes, std::ios::in);
  CReadWindow window(source, 16);
  std::istream in(&window);
  EXPECT_FALSE(in.seekg(-101, std::ios::end)) << "before the start";
  in.clear();
  ASSERT_TRUE(in.seekg(-30, std::ios::end));
  char c = 0;
  ASSERT_TRUE(in.get(c));
  EXPECT_EQ(c, bytes[70]);
  ASSERT_TRUE(window.SyncSource());
  std::istream after(&source);
  EXPECT_EQ(after.tellg(), 71);
  ASSERT_TRUE(after.get(c));
  EXPECT_EQ(c, bytes[71]);
}

}  // namespace
