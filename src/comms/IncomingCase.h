#pragma once

#include <string>

// What the engine knows about one received frame, relative to the request in flight.
struct TIncomingFacts {
  bool ok = false;            // decoded without error
  bool waiting = false;       // a request is in flight and its answer timer runs
  bool forMe = false;         // addressed to the PC, a broadcast we take, or we take all
  bool fromExpected = false;  // from the address the answer is expected from
  bool isNack = false;
  bool isAck = false;         // positive acknowledgement or repeated-packet notice
  bool isEvent = false;       // payload begins with "E"
  bool expectsAnswer = false;
  bool forceWait = false;
  bool waitAfterAck = false;
  bool answerMatches = false;
  bool answerDiffers = false;
  bool idMatch = false;
  bool looseMatch = false;
  int waitState = 0;
};

// The case (0..17) that decides how the frame is handled; first matching rule wins.
int ClassifyIncoming(const TIncomingFacts& f);

// "*" takes any answer; otherwise the first five bytes must name the expected answer.
bool AnswerMatches(const std::string& expected, const std::string& payload);
// True when the payload's bytes after the name are not the beginning of the expected bytes
// after the name (compared as far as the expected bytes reach): an error-code answer.
bool AnswerDiffers(const std::string& expected, const std::string& payload);
