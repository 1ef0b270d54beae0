#pragma once

#include <string>

#include "platform/Cp1250.h"

// How the parameter layer reaches the user. The main window shows the texts in modal boxes
// and writes the log; the command line prints them to standard error; tests record them.
// All texts are code page 1250.
class TParamMessages {
 public:
  virtual ~TParamMessages() = default;

  // A line in the application log.
  virtual void LogToWindow(const std::string& text) = 0;
  // An information box with an OK button.
  virtual void ShowInfo(const std::string& text) = 0;
  // An error box ("Hiba").
  virtual void ShowError(const std::string& text) = 0;

  // Logs "[üzenet:] " and the text, then shows the text.
  void LogAndShowMessage(const std::string& text) {
    LogToWindow(Hu("[üzenet:] ") + text);
    ShowInfo(text);
  }
};
