#include "platform/CreateMissingValuesIni.h"

#include <string>

namespace {

std::string ReplaceAll(std::string_view text, std::string_view from, std::string_view to) {
  std::string out;
  out.reserve(text.size());
  size_t start = 0;
  for (size_t hit; (hit = text.find(from, start)) != std::string_view::npos; start = hit + from.size())
    out.append(text.substr(start, hit - start)).append(to);
  out.append(text.substr(start));
  return out;
}

}  // namespace

std::string EscapeLineBreaks(std::string_view text) {
  return ReplaceAll(ReplaceAll(ReplaceAll(text, "\r\n", "_CRLF_"), "\r", "_CR_"), "\n", "_LF_");
}

std::string UnescapeLineBreaks(std::string_view text) {
  return ReplaceAll(ReplaceAll(ReplaceAll(text, "_CRLF_", "\r\n"), "_CR_", "\r"), "_LF_", "\n");
}

std::string TCreateMissingValuesIni::ReadString(std::string_view section, std::string_view key,
                                                std::string_view def) {
  if (KeyExists(section, key)) return UnescapeLineBreaks(IniFile::ReadString(section, key, def));
  WriteString(section, key, def);
  return UnescapeLineBreaks(def);
}

bool TCreateMissingValuesIni::WriteString(std::string_view section, std::string_view key, std::string_view value) {
  return IniFile::WriteString(section, key, EscapeLineBreaks(value));
}

int TCreateMissingValuesIni::ReadInteger(std::string_view section, std::string_view key, int def) {
  const std::string defText = std::to_string(def);
  int value;
  if (ParseInteger(ReadString(section, key, defText), value)) return value;
  WriteString(section, key, defText);
  return def;
}
