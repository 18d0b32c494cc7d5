#pragma once
// The answer to "DIAG:UPD:PROG?": percent, state word and status text, the
// text quoted with its inner quotes doubled.

#include <string>

struct CProgressAnswer {
  int percent = 0;
  int state = 0;  // CClientSession::State
  std::string text;
};

// Throws Fernway::CError "Protocol Error: progress syntax" when the answer
// has fewer than two commas, and "Protocol Error: undefined progress" for
// a state word it does not know.
CProgressAnswer ParseProgressAnswer(const std::string& answer);

// The status text without its quotes: everything up to the first quote and
// from the last one on is dropped, and doubled quotes at the front of the
// text count as one. Without any quote the text stays as it is.
std::string UnquoteProgressText(std::string text);
