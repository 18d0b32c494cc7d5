// The Windows C runtime's rules for turning a command line into argv, so that
// one package description means the same program and arguments everywhere.
#include <string>
#include <vector>

#include "platform/process.h"

namespace platform {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

std::vector<std::string> SplitCommandLine(const std::string& commandLine) {
  std::vector<std::string> arguments;
  std::size_t i = 0;
  const std::size_t n = commandLine.size();

  // The program name knows no escapes: a quote only opens or closes.
  std::string program;
  bool quoted = false;
  for (; i < n; ++i) {
    const char c = commandLine[i];
    if (c == '"') {
      quoted = !quoted;
      continue;
    }
    if (!quoted && IsBlank(c)) break;
    program += c;
  }
  arguments.push_back(program);

  for (;;) {
    while (i < n && IsBlank(commandLine[i])) ++i;
    if (i >= n) break;
    std::string argument;
    quoted = false;
    while (i < n) {
      const char c = commandLine[i];
      if (!quoted && IsBlank(c)) break;
      if (c == '\\') {
        std::size_t backslashes = 0;
        while (i < n && commandLine[i] == '\\') {
          ++backslashes;
          ++i;
        }
        if (i < n && commandLine[i] == '"') {
          argument.append(backslashes / 2, '\\');
          if (backslashes % 2 == 1) {
            argument += '"';
            ++i;
          }
          // An even count leaves the quote to the next round, where it toggles.
        } else {
          argument.append(backslashes, '\\');
        }
        continue;
      }
      if (c == '"') {
        if (quoted && i + 1 < n && commandLine[i + 1] == '"') {
          argument += '"';
          i += 2;
          continue;
        }
        quoted = !quoted;
        ++i;
        continue;
      }
      argument += c;
      ++i;
    }
    arguments.push_back(argument);
  }
  return arguments;
}

}  // namespace platform
