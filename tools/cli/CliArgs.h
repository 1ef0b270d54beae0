#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

// Options of one sub-command: `--name VALUE` for those listed as taking a value, bare
// `--name` flags for the rest; everything else is positional. Parse errors carry a one-line
// message for the caller to print before exiting with 2.
class CliArgs {
 public:
  CliArgs(std::set<std::string> valueOptions, std::set<std::string> flagOptions);

  // Returns false and sets Error() on an unknown option or a missing value.
  bool Parse(const std::vector<std::string>& args);

  bool Has(const std::string& name) const;
  std::optional<std::string> Value(const std::string& name) const;
  // The option's value as an integer in [min, max]; false and Error() when it is not one.
  bool IntValue(const std::string& name, long long min, long long max, long long& out);
  const std::vector<std::string>& Positional() const { return positional_; }
  const std::string& Error() const { return error_; }

 private:
  std::set<std::string> valueOptions_;
  std::set<std::string> flagOptions_;
  std::map<std::string, std::string> values_;
  std::set<std::string> flags_;
  std::vector<std::string> positional_;
  std::string error_;
};

// Hex text as the command line takes it: upper or lower case, blanks anywhere, empty for no
// bytes. Returns false on anything else (odd digit count, other characters).
bool ParseHex(const std::string& text, std::string& bytes);
// Upper-case hex, bytes separated by one blank.
std::string FormatHex(const std::string& bytes);
