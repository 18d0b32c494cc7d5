#include "install/patch_property.h"

void RewritePatchProperty(std::string& commandLine,
                          const std::function<std::string(const std::string&)>& fullPath) {
  static const std::string kProperty = "PATCH=";
  const std::size_t found = commandLine.find(kProperty);
  if (found == std::string::npos) return;
  const std::size_t valueStart = found + kProperty.size();

  std::string value;
  bool quoted = false;
  std::size_t i = valueStart;
  for (; i < commandLine.size(); ++i) {
    const char c = commandLine[i];
    if (c == ' ' && !quoted) break;
    if (c == '"') {
      if (quoted && i + 1 < commandLine.size() && commandLine[i + 1] == '"') {
        value += '"';
        ++i;
      } else {
        quoted = !quoted;
      }
      continue;
    }
    value += c;
  }

  std::string joined;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = value.find(';', start);
    const std::string piece = value.substr(start, end == std::string::npos ? end : end - start);
    if (start != 0) joined += ';';
    joined += fullPath(piece);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  commandLine = commandLine.substr(0, valueStart) + "\"" + joined + "\"" + commandLine.substr(i);
}
