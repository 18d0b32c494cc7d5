#include "client/progress_answer.h"

#include <cstdio>
#include <iterator>

#include "client/error.h"

namespace {

constexpr const char* kStateWords[] = {"TRAN", "RUN", "INST", "ERR", "SUCC", "BOOT"};

}  // namespace

std::string UnquoteProgressText(std::string text) {
  const std::size_t first = text.find_first_of("'\"");
  if (first == std::string::npos) return text;
  const char quote = text[first];
  text.erase(0, first + 1);
  const std::size_t last = text.rfind(quote);
  if (last != std::string::npos) text.erase(last);
  // The walk stops at the first quote that is not doubled, as the server's
  // readers have always done.
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != quote) continue;
    text.erase(i, 1);
    if (i >= text.size() || text[i] != quote) break;
  }
  return text;
}

CProgressAnswer ParseProgressAnswer(const std::string& answer) {
  CProgressAnswer result;
  if (std::sscanf(answer.c_str(), "%d", &result.percent) != 1) result.percent = 0;
  const std::size_t c1 = answer.find(',');
  const std::size_t c2 = c1 == std::string::npos ? c1 : answer.find(',', c1 + 1);
  if (c2 == std::string::npos) throw Fernway::CError("Protocol Error: progress syntax");
  std::string word = answer.substr(c1 + 1, c2 - c1 - 1);
  result.text = UnquoteProgressText(answer.substr(c2 + 1));
  for (char& c : word) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  for (int state = 0; state < static_cast<int>(std::size(kStateWords)); ++state) {
    if (word == kStateWords[state]) {
      result.state = state;
      return result;
    }
  }
  throw Fernway::CError("Protocol Error: undefined progress");
}
