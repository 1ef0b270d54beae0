#include "CliArgs.h"

#include <cctype>
#include <charconv>
#include <utility>

CliArgs::CliArgs(std::set<std::string> valueOptions, std::set<std::string> flagOptions)
    : valueOptions_(std::move(valueOptions)), flagOptions_(std::move(flagOptions)) {}

bool CliArgs::Parse(const std::vector<std::string>& args) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a.size() > 2 && a.compare(0, 2, "--") == 0) {
      std::string name = a.substr(2);
      std::string inlineValue;
      bool hasInline = false;
      if (auto eq = name.find('='); eq != std::string::npos) {
        inlineValue = name.substr(eq + 1);
        name.resize(eq);
        hasInline = true;
      }
      if (valueOptions_.count(name)) {
        if (hasInline) {
          values_[name] = inlineValue;
        } else if (i + 1 < args.size()) {
          values_[name] = args[++i];
        } else {
          error_ = "option --" + name + " needs a value";
          return false;
        }
      } else if (flagOptions_.count(name) && !hasInline) {
        flags_.insert(name);
      } else {
        error_ = "unknown option " + a;
        return false;
      }
    } else {
      positional_.push_back(a);
    }
  }
  return true;
}

bool CliArgs::Has(const std::string& name) const { return flags_.count(name) || values_.count(name); }

std::optional<std::string> CliArgs::Value(const std::string& name) const {
  auto it = values_.find(name);
  if (it == values_.end()) return std::nullopt;
  return it->second;
}

bool CliArgs::IntValue(const std::string& name, long long min, long long max, long long& out) {
  auto v = Value(name);
  if (!v) return true;
  long long n = 0;
  const char* first = v->data();
  const char* last = v->data() + v->size();
  auto [p, ec] = std::from_chars(first, last, n);
  if (ec != std::errc() || p != last || v->empty() || n < min || n > max) {
    error_ = "option --" + name + " takes a whole number from " + std::to_string(min) + " to " + std::to_string(max) +
             ", not '" + *v + "'";
    return false;
  }
  out = n;
  return true;
}

bool ParseHex(const std::string& text, std::string& bytes) {
  bytes.clear();
  int high = -1;
  for (unsigned char c : text) {
    if (std::isspace(c)) continue;
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else return false;
    if (high < 0) {
      high = d;
    } else {
      bytes.push_back(static_cast<char>(high * 16 + d));
      high = -1;
    }
  }
  return high < 0;
}

std::string FormatHex(const std::string& bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size() * 3);
  for (unsigned char b : bytes) {
    if (!out.empty()) out.push_back(' ');
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 15]);
  }
  return out;
}
