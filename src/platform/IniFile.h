#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// An INI text file in code page 1250, read and written key by key. The strings given and
// returned are code page 1250 bytes as they stand in the file; nothing is converted.
//
// File format:
// - A line whose first non-blank character is '[' and that holds a ']' opens a section; the
//   name is the text between them with blanks (space, tab) around it removed.
// - A line with a '=' is a key line: the key is the text before the first '=', the value
//   the text after it, each with surrounding blanks removed. On reading, one pair of
//   matching surrounding quotes (" or ') is removed from the value as well.
// - A line whose first non-blank character is ';' is a comment. Comments, blank lines and
//   any other line are kept as they are, and so is the order of all lines.
// - Section and key names compare without regard to letter case (ASCII and the accented
//   letters of the code page). With duplicates, the first section or key of a name counts.
// - Lines end in CR LF or LF on reading; the file is written with CR LF.
//
// Every write goes to disk at once (unless an update is open, see BeginUpdate), replacing
// the file through a temporary file beside it, so that a failed write leaves the old
// file intact. Nothing is cached across changes by others: before each call the file's
// size and time stamp are checked and it is read again only when they changed.
//
// A missing file reads as empty and is created by the first write. Failures never throw:
// writes return false and ErrorText() tells why.
class IniFile {
 public:
  explicit IniFile(std::filesystem::path path);
  virtual ~IniFile();
  IniFile(const IniFile&) = delete;
  IniFile& operator=(const IniFile&) = delete;

  const std::filesystem::path& Path() const { return path_; }

  // The value, or def when the section or the key is missing.
  virtual std::string ReadString(std::string_view section, std::string_view key, std::string_view def);
  // Creates the section (at the end of the file) and the key (after the last non-blank line
  // of its section) as needed; an existing key keeps its line and spelling. Names and
  // values holding a line break cannot be stored and are refused, and so are keys that
  // hold '=' or begin with '[' or ';' and empty keys.
  virtual bool WriteString(std::string_view section, std::string_view key, std::string_view value);

  // A decimal integer with an optional sign; def when missing or not such an integer.
  virtual int ReadInteger(std::string_view section, std::string_view key, int def);
  bool WriteInteger(std::string_view section, std::string_view key, int value);
  // Booleans are stored as 1 and 0 and read as true exactly when the integer is 1.
  bool ReadBool(std::string_view section, std::string_view key, bool def);
  bool WriteBool(std::string_view section, std::string_view key, bool value);

  bool SectionExists(std::string_view section);
  bool KeyExists(std::string_view section, std::string_view key);
  // Section names in file order, each once.
  std::vector<std::string> ReadSections();
  // Key names of a section in file order, each once.
  std::vector<std::string> ReadSectionKeys(std::string_view section);
  // Keys with their values (as ReadString gives them) in file order, each key once.
  std::vector<std::pair<std::string, std::string>> ReadSectionValues(std::string_view section);

  // Removes every section of that name with all its lines (a missing section is no error).
  bool EraseSection(std::string_view section);
  bool DeleteKey(std::string_view section, std::string_view key);

  // Many writes in a row: while an update is open, writes change only the memory copy and
  // the file is neither re-read nor written; the outermost EndUpdate writes it once (when
  // something changed) and returns whether that succeeded.
  void BeginUpdate();
  bool EndUpdate();

  // The integer syntax ReadInteger accepts: decimal digits with an optional sign, within
  // the range of int.
  static bool ParseInteger(std::string_view text, int& value);

  // Why the last failing call failed.
  const std::string& ErrorText() const { return error_; }

  struct Document;

 private:
  bool Sync();
  bool Commit();
  bool Fail(std::string text);

  std::filesystem::path path_;
  std::unique_ptr<Document> doc_;
  int updateDepth_ = 0;
  bool dirty_ = false;
  std::string error_;
};
