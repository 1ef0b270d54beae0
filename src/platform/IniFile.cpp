#include "platform/IniFile.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <unordered_map>

#include "platform/Cp1250.h"

namespace fs = std::filesystem;

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

bool IsBlankLine(std::string_view line) { return Trim(line).empty(); }

char FirstNonBlank(std::string_view line) {
  line = Trim(line);
  return line.empty() ? '\0' : line.front();
}

bool ParseHeader(std::string_view line, std::string_view& name) {
  line = Trim(line);
  if (line.empty() || line.front() != '[') return false;
  const size_t close = line.find(']');
  if (close == std::string_view::npos) return false;
  name = Trim(line.substr(1, close - 1));
  return true;
}

// A key line: a '=' after a non-empty key, and not a comment or a would-be header.
bool ParseKeyLine(std::string_view line, std::string_view& key, size_t& equals) {
  const char first = FirstNonBlank(line);
  if (first == ';' || first == '[') return false;
  equals = line.find('=');
  if (equals == std::string_view::npos) return false;
  key = Trim(line.substr(0, equals));
  return !key.empty();
}

std::string ValueOf(std::string_view line, size_t equals) {
  std::string_view v = Trim(line.substr(equals + 1));
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
    v = v.substr(1, v.size() - 2);
  return std::string(v);
}

bool HasLineBreak(std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; }

struct Stamp {
  bool exists = false;
  bool regular = false;
  uintmax_t size = 0;
  fs::file_time_type time{};
  bool operator==(const Stamp&) const = default;
};

// Returns false when the file's state cannot be found out (other than its absence).
bool StampOf(const fs::path& path, Stamp& stamp) {
  std::error_code ec;
  const fs::file_status st = fs::status(path, ec);
  stamp = Stamp{};
  if (ec && ec != std::errc::no_such_file_or_directory) return false;
  if (!fs::exists(st)) return true;
  stamp.exists = true;
  stamp.regular = fs::is_regular_file(st);
  stamp.size = fs::file_size(path, ec);
  if (ec) stamp.size = UINTMAX_MAX;
  stamp.time = fs::last_write_time(path, ec);
  return true;
}

std::string ErrnoText() { return std::strerror(errno); }

bool ReadWholeFile(const fs::path& path, const Stamp& stamp, std::string& text, std::string& error) {
  if (!stamp.regular) {
    error = "not a file: " + path.string();
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot read " + path.string() + ": " + ErrnoText();
    return false;
  }
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  in.seekg(0);
  text.resize(size > 0 ? static_cast<size_t>(size) : 0);
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  if (in.bad() || in.gcount() != static_cast<std::streamsize>(text.size())) {
    error = "cannot read " + path.string();
    return false;
  }
  return true;
}

}  // namespace

struct Section {
  std::string name;
  bool named = false;
  // A named section's first line is its header.
  std::vector<std::string> lines;
  // Folded key -> line of its first occurrence; built on demand.
  std::unordered_map<std::string, size_t> keys;
  bool keysIndexed = false;

  const std::unordered_map<std::string, size_t>& Keys() {
    if (!keysIndexed) {
      keys.clear();
      for (size_t i = named ? 1 : 0; i < lines.size(); ++i) {
        std::string_view key;
        size_t equals;
        if (ParseKeyLine(lines[i], key, equals)) keys.emplace(Cp1250Lower(key), i);
      }
      keysIndexed = true;
    }
    return keys;
  }

  // A line of the given key, or npos.
  size_t FindKey(std::string_view key) {
    const auto& k = Keys();
    const auto it = k.find(Cp1250Lower(key));
    return it == k.end() ? std::string::npos : it->second;
  }

  // New keys go after the last non-blank line, so that blank lines separating this section
  // from the next stay at its end.
  size_t InsertPosition() const {
    size_t pos = lines.size();
    while (pos > 1 && IsBlankLine(lines[pos - 1])) --pos;
    return pos;
  }
};

struct IniFile::Document {
  // sections[0] holds the lines before the first header.
  std::vector<Section> sections;
  std::unordered_map<std::string, size_t> index;  // folded name -> first section of it
  bool loaded = false;
  bool readable = true;
  Stamp stamp;

  void Parse(std::string_view text) {
    sections.clear();
    sections.emplace_back();
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find('\n', start);
      if (end == std::string_view::npos) end = text.size();
      std::string_view line = text.substr(start, end - start);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      std::string_view name;
      if (ParseHeader(line, name)) {
        sections.emplace_back();
        sections.back().name = std::string(name);
        sections.back().named = true;
      }
      sections.back().lines.emplace_back(line);
      start = end + 1;
    }
    Reindex();
  }

  void Reindex() {
    index.clear();
    for (size_t i = 1; i < sections.size(); ++i) index.emplace(Cp1250Lower(sections[i].name), i);
  }

  Section* Find(std::string_view name) {
    const auto it = index.find(Cp1250Lower(name));
    return it == index.end() ? nullptr : &sections[it->second];
  }

  Section& Append(std::string_view name) {
    // One blank line between the previous content and the new section.
    Section& last = sections.back();
    if (!last.lines.empty() && !IsBlankLine(last.lines.back())) last.lines.emplace_back();
    Section& s = sections.emplace_back();
    s.name = std::string(name);
    s.named = true;
    s.lines.push_back("[" + s.name + "]");
    index.emplace(Cp1250Lower(name), sections.size() - 1);
    return s;
  }

  std::string Serialize() const {
    std::string out;
    for (const Section& s : sections)
      for (const std::string& line : s.lines) out.append(line).append("\r\n");
    return out;
  }
};

IniFile::IniFile(fs::path path) : path_(std::move(path)), doc_(std::make_unique<Document>()) {}

IniFile::~IniFile() {
  if (updateDepth_ > 0) {
    updateDepth_ = 1;
    EndUpdate();
  }
}

bool IniFile::Fail(std::string text) {
  error_ = std::move(text);
  return false;
}

bool IniFile::Sync() {
  Document& d = *doc_;
  if (d.loaded && updateDepth_ > 0) return d.readable;
  Stamp now;
  if (!StampOf(path_, now)) {
    d = Document{};
    d.readable = false;
    d.Parse("");
    return Fail("cannot examine " + path_.string());
  }
  if (d.loaded && now == d.stamp) return d.readable;
  d = Document{};
  d.loaded = true;
  d.stamp = now;
  if (!now.exists) {
    d.Parse("");
    return true;
  }
  std::string text;
  if (!ReadWholeFile(path_, now, text, error_)) {
    d.readable = false;
    d.Parse("");
    return false;
  }
  d.Parse(text);
  return true;
}

bool IniFile::Commit() {
  if (updateDepth_ > 0) {
    dirty_ = true;
    return true;
  }
  dirty_ = false;
  const std::string text = doc_->Serialize();

  // Write beside the real file (through a link to its target) and rename over it, so that a
  // full disk or a crash never leaves a truncated file behind.
  std::error_code ec;
  fs::path target = path_;
  if (fs::is_symlink(path_, ec)) target = fs::weakly_canonical(path_, ec);
  // Renaming over a file would defeat its write protection.
  if (fs::exists(target, ec) && ::access(target.c_str(), W_OK) != 0) {
    const std::string why = ErrnoText();
    doc_->loaded = false;
    return Fail("cannot write " + path_.string() + ": " + why);
  }
  static std::atomic<unsigned> counter{0};
  fs::path temp = target;
  temp += ".~" + std::to_string(::getpid()) + "-" + std::to_string(counter++);

  bool written = false;
  std::string why;
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (out) {
      out.write(text.data(), static_cast<std::streamsize>(text.size()));
      out.close();
      written = !out.fail();
      if (!written) why = ErrnoText();
    }
  }
  if (written) {
    if (fs::exists(target, ec)) fs::permissions(temp, fs::status(target, ec).permissions(), ec);
    fs::rename(temp, target, ec);
    if (ec) {
      why = ec.message();
      written = false;
    }
  }
  if (!written) {
    fs::remove(temp, ec);
    // A folder we may not create files in can still hold a file we may rewrite.
    if (fs::exists(target, ec)) {
      std::ofstream out(target, std::ios::binary | std::ios::trunc);
      if (out) {
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        out.close();
        written = !out.fail();
      }
      if (!written) why = ErrnoText();
    } else if (why.empty()) {
      why = ErrnoText();
    }
  }
  if (!written) {
    // The memory copy no longer matches the disk: read the file again next time.
    doc_->loaded = false;
    return Fail("cannot write " + path_.string() + ": " + why);
  }
  StampOf(path_, doc_->stamp);
  return true;
}

std::string IniFile::ReadString(std::string_view section, std::string_view key, std::string_view def) {
  if (!Sync()) return std::string(def);
  Section* s = doc_->Find(Trim(section));
  if (!s) return std::string(def);
  const size_t line = s->FindKey(Trim(key));
  if (line == std::string::npos) return std::string(def);
  std::string_view k;
  size_t equals;
  ParseKeyLine(s->lines[line], k, equals);
  return ValueOf(s->lines[line], equals);
}

bool IniFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
  section = Trim(section);
  key = Trim(key);
  if (HasLineBreak(section) || section.find(']') != std::string_view::npos)
    return Fail("section name not storable: " + std::string(section));
  if (key.empty() || HasLineBreak(key) || key.find('=') != std::string_view::npos || key.front() == '[' ||
      key.front() == ';')
    return Fail("key name not storable: " + std::string(key));
  if (HasLineBreak(value)) return Fail("value holds a line break: " + std::string(key));
  if (!Sync()) return false;

  const std::string newLine = std::string(key) + "=" + std::string(value);
  Section* s = doc_->Find(section);
  if (!s) {
    doc_->Append(section).lines.push_back(newLine);
    return Commit();
  }
  const size_t line = s->FindKey(key);
  if (line == std::string::npos) {
    const size_t pos = s->InsertPosition();
    s->lines.insert(s->lines.begin() + static_cast<std::ptrdiff_t>(pos), newLine);
    // Only blank lines follow the insertion point, so indexed key lines keep their places.
    if (s->keysIndexed) s->keys.emplace(Cp1250Lower(key), pos);
    return Commit();
  }
  std::string& existing = s->lines[line];
  std::string_view k;
  size_t equals;
  ParseKeyLine(existing, k, equals);
  // The key keeps the spelling and spacing the file gave it.
  std::string updated = existing.substr(0, equals + 1) + std::string(value);
  if (updated == existing) return true;
  existing = std::move(updated);
  return Commit();
}

bool IniFile::ParseInteger(std::string_view text, int& value) {
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    if (!text.empty() && text.front() == '-') return false;
  }
  int parsed = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), parsed);
  if (text.empty() || ec != std::errc{} || end != text.data() + text.size()) return false;
  value = parsed;
  return true;
}

int IniFile::ReadInteger(std::string_view section, std::string_view key, int def) {
  int value;
  return ParseInteger(ReadString(section, key, std::to_string(def)), value) ? value : def;
}

bool IniFile::WriteInteger(std::string_view section, std::string_view key, int value) {
  return WriteString(section, key, std::to_string(value));
}

bool IniFile::ReadBool(std::string_view section, std::string_view key, bool def) {
  return ReadInteger(section, key, def ? 1 : 0) == 1;
}

bool IniFile::WriteBool(std::string_view section, std::string_view key, bool value) {
  return WriteString(section, key, value ? "1" : "0");
}

bool IniFile::SectionExists(std::string_view section) {
  return Sync() && doc_->Find(Trim(section)) != nullptr;
}

bool IniFile::KeyExists(std::string_view section, std::string_view key) {
  if (!Sync()) return false;
  Section* s = doc_->Find(Trim(section));
  return s && s->FindKey(Trim(key)) != std::string::npos;
}

std::vector<std::string> IniFile::ReadSections() {
  std::vector<std::string> names;
  if (!Sync()) return names;
  const Document& d = *doc_;
  for (size_t i = 1; i < d.sections.size(); ++i)
    if (d.index.at(Cp1250Lower(d.sections[i].name)) == i) names.push_back(d.sections[i].name);
  return names;
}

std::vector<std::pair<std::string, std::string>> IniFile::ReadSectionValues(std::string_view section) {
  std::vector<std::pair<std::string, std::string>> values;
  if (!Sync()) return values;
  Section* s = doc_->Find(Trim(section));
  if (!s) return values;
  const auto& keys = s->Keys();
  for (size_t i = 1; i < s->lines.size(); ++i) {
    std::string_view key;
    size_t equals;
    if (ParseKeyLine(s->lines[i], key, equals) && keys.at(Cp1250Lower(key)) == i)
      values.emplace_back(std::string(key), ValueOf(s->lines[i], equals));
  }
  return values;
}

std::vector<std::string> IniFile::ReadSectionKeys(std::string_view section) {
  std::vector<std::string> keys;
  for (auto& [key, value] : ReadSectionValues(section)) keys.push_back(std::move(key));
  return keys;
}

bool IniFile::EraseSection(std::string_view section) {
  if (!Sync()) return false;
  const std::string folded = Cp1250Lower(Trim(section));
  auto& sections = doc_->sections;
  const size_t before = sections.size();
  std::erase_if(sections, [&](const Section& s) { return s.named && Cp1250Lower(s.name) == folded; });
  if (sections.size() == before) return true;
  doc_->Reindex();
  return Commit();
}

bool IniFile::DeleteKey(std::string_view section, std::string_view key) {
  if (!Sync()) return false;
  Section* s = doc_->Find(Trim(section));
  if (!s || s->FindKey(Trim(key)) == std::string::npos) return true;
  const std::string folded = Cp1250Lower(Trim(key));
  std::erase_if(s->lines, [&](const std::string& line) {
    std::string_view k;
    size_t equals;
    return ParseKeyLine(line, k, equals) && Cp1250Lower(k) == folded;  // never the header
  });
  s->keysIndexed = false;
  return Commit();
}

void IniFile::BeginUpdate() {
  if (updateDepth_++ == 0) {
    dirty_ = false;
    Sync();
  }
}

bool IniFile::EndUpdate() {
  if (updateDepth_ == 0 || --updateDepth_ > 0) return true;
  return dirty_ ? Commit() : true;
}
