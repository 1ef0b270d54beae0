#pragma once

#include "platform/IniFile.h"

// The settings reader: an INI file whose reads complete the file. A value missing from it
// is written with its default, and an integer that does not read as one is rewritten with
// its default, so that after one start the file lists every option with a usable value.
//
// Line breaks cannot stand in an INI line, so values carry them as "_CRLF_", "_CR_" and
// "_LF_" (CR LF first, then the lone CR, then the lone LF; reading undoes them in the same
// order, so such texts written literally into the file are read as line breaks too).
//
// Writes that fail (an unwritable file) do not disturb reading: the value or the default
// is still returned, and ErrorText() tells what went wrong.
class TCreateMissingValuesIni : public IniFile {
 public:
  using IniFile::IniFile;

  std::string ReadString(std::string_view section, std::string_view key, std::string_view def) override;
  bool WriteString(std::string_view section, std::string_view key, std::string_view value) override;
  int ReadInteger(std::string_view section, std::string_view key, int def) override;
};

std::string EscapeLineBreaks(std::string_view text);
std::string UnescapeLineBreaks(std::string_view text);
