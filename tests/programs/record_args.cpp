// A stand-in for an installer program in end-to-end tests: notes the
// directory it runs in and each argument it got, one per line, in ran.txt
// of that directory. What the C runtime made of the command line is
// exactly what the test wants to see.
#include <filesystem>
#include <fstream>

int main(int argc, char** argv) {
  std::ofstream out("ran.txt", std::ios::trunc);
  out << std::filesystem::current_path().string() << '\n';
  for (int i = 1; i < argc; ++i) out << '[' << argv[i] << "]\n";
  return out.good() ? 0 : 1;
}
