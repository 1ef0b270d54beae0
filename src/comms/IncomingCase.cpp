#include "comms/IncomingCase.h"

int ClassifyIncoming(const TIncomingFacts& f) {
  if (!f.ok) return f.waiting ? 14 : 15;
  if (!f.forMe) return 13;
  if (!f.waiting) return 16;
  if (!f.fromExpected) return 12;
  if (!f.idMatch && !f.looseMatch) return f.isNack ? 1 : f.isAck ? 2 : 3;
  if (f.isNack) return 0;
  if (f.isAck && (f.forceWait || f.expectsAnswer)) return f.waitAfterAck ? 9 : 10;
  if (f.isAck) return 4;
  if (f.waitState == 2) {
    if (f.forceWait) return f.answerMatches ? 6 : 8;
    if (f.answerMatches) return f.answerDiffers ? 17 : 5;
    return f.isEvent ? 3 : 7;
  }
  return f.isEvent ? 3 : 11;
}

bool AnswerMatches(const std::string& expected, const std::string& payload) {
  if (expected == "*") return true;
  return !expected.empty() && payload.substr(0, 5) == expected.substr(0, 5);
}

bool AnswerDiffers(const std::string& expected, const std::string& payload) {
  const std::string tail = expected.size() > 5 ? expected.substr(5) : std::string();
  const std::string piece = payload.size() > 5 ? payload.substr(5, tail.size()) : std::string();
  return tail.compare(0, piece.size(), piece) != 0;
}
