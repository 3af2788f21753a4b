#include "platform/IniFile.h"

#include <errno.h>

#include <cstring>
#include <optional>
#include <vector>

#include "platform/FileSystem.h"

namespace orbitrace {

namespace {

// Largest configuration file taken into account; a larger one is treated as unreadable so that
// a write never replaces content it could not see.
constexpr size_t kMaxFileSize = 16u << 20;

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\v' || c == '\f';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (IsBlank(s.front()) || s.front() == '\r' || s.front() == '\n'))
    s.remove_prefix(1);
  while (!s.empty() && (IsBlank(s.back()) || s.back() == '\r' || s.back() == '\n'))
    s.remove_suffix(1);
  return s;
}

struct Line {
  std::string text;  // without its line end
  std::string end;   // "\r\n", "\n", "\r" or "" for the last line
};

enum class Kind { Other, Section, Key };

struct Parsed {
  Kind kind = Kind::Other;
  std::string_view name;   // section or key name
  std::string_view value;  // key value (trimmed, quotes kept)
};

Parsed ParseLine(std::string_view text) {
  Parsed p;
  const std::string_view t = Trim(text);
  if (t.empty() || t.front() == ';') return p;
  if (t.front() == '[') {
    const size_t close = t.find(']');
    if (close == std::string_view::npos) return p;
    p.kind = Kind::Section;
    p.name = Trim(t.substr(1, close - 1));
    return p;
  }
  const size_t eq = t.find('=');
  if (eq == std::string_view::npos) return p;
  p.kind = Kind::Key;
  p.name = Trim(t.substr(0, eq));
  p.value = Trim(t.substr(eq + 1));
  return p;
}

class Document {
 public:
  // Loads the file; a missing file is an empty document. False when it exists but cannot be
  // read whole.
  bool Load(const std::string& path) {
    lines_.clear();
    std::string data;
    if (!ReadWholeFile(path, data, kMaxFileSize + 1)) {
      return errno == ENOENT;
    }
    if (data.size() > kMaxFileSize) return false;
    size_t pos = 0;
    while (pos < data.size()) {
      size_t e = pos;
      while (e < data.size() && data[e] != '\r' && data[e] != '\n') ++e;
      Line line;
      line.text.assign(data, pos, e - pos);
      if (e < data.size()) {
        if (data[e] == '\r' && e + 1 < data.size() && data[e + 1] == '\n') {
          line.end = "\r\n";
          e += 2;
        } else {
          line.end.assign(1, data[e]);
          e += 1;
        }
      }
      lines_.push_back(std::move(line));
      pos = e;
    }
    return true;
  }

  // Index of the first header of `section`, or nullopt.
  std::optional<size_t> FindSection(std::string_view section) const {
    for (size_t i = 0; i < lines_.size(); ++i) {
      const Parsed p = ParseLine(lines_[i].text);
      if (p.kind == Kind::Section && EqualsNoCase(p.name, section)) return i;
    }
    return std::nullopt;
  }

  // Index of the first `key` line in the first `section`, or nullopt.
  std::optional<size_t> FindKey(std::string_view section, std::string_view key) const {
    const auto s = FindSection(section);
    if (!s) return std::nullopt;
    for (size_t i = *s + 1; i < lines_.size(); ++i) {
      const Parsed p = ParseLine(lines_[i].text);
      if (p.kind == Kind::Section) break;
      if (p.kind == Kind::Key && EqualsNoCase(p.name, key)) return i;
    }
    return std::nullopt;
  }

  std::string_view ValueAt(size_t index) const { return ParseLine(lines_[index].text).value; }

  size_t LineCount() const { return lines_.size(); }
  Parsed ParseAt(size_t index) const { return ParseLine(lines_[index].text); }

  void Set(std::string_view section, std::string_view key, std::string_view value) {
    std::string text;
    text.append(key).append("=").append(value);
    if (const auto k = FindKey(section, key)) {
      lines_[*k].text = std::move(text);
      return;
    }
    const std::string end = LineEnd();
    if (const auto s = FindSection(section)) {
      // After the last non-blank line of the section.
      size_t insertAt = *s + 1;
      for (size_t i = *s + 1; i < lines_.size(); ++i) {
        const Parsed p = ParseLine(lines_[i].text);
        if (p.kind == Kind::Section) break;
        if (!Trim(lines_[i].text).empty()) insertAt = i + 1;
      }
      if (insertAt > 0 && lines_[insertAt - 1].end.empty()) lines_[insertAt - 1].end = end;
      lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(insertAt), Line{text, end});
      return;
    }
    if (!lines_.empty() && lines_.back().end.empty()) lines_.back().end = end;
    std::string header;
    header.append("[").append(section).append("]");
    lines_.push_back(Line{std::move(header), end});
    lines_.push_back(Line{std::move(text), end});
  }

  bool Remove(std::string_view section, std::string_view key) {
    const auto k = FindKey(section, key);
    if (!k) return false;
    lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(*k));
    return true;
  }

  std::string Serialize() const {
    std::string out;
    for (const Line& l : lines_) out.append(l.text).append(l.end);
    return out;
  }

 private:
  std::string LineEnd() const {
    for (const Line& l : lines_) {
      if (!l.end.empty()) return l.end;
    }
    return "\r\n";
  }

  std::vector<Line> lines_;
};

bool Store(const std::string& path, const std::string& content) {
  File f;
  if (!f.Open(path, Access::Write, Share::Read, Disposition::OpenAlways)) return false;
  if (!f.Write(content)) return false;
  return f.Truncate(static_cast<int64_t>(content.size()));
}

// A value as reads return it: surrounding quotes removed, cut to the longest value.
std::string_view ReadableValue(std::string_view v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
    v = v.substr(1, v.size() - 2);
  }
  if (v.size() > IniFile::kMaxValueLength) v = v.substr(0, IniFile::kMaxValueLength);
  return v;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool ParseProfileInteger(std::string_view text, int32_t& out) {
  std::string_view s = text;
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  bool negative = false;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  bool hex = false;
  if (!s.empty() && s.front() == '$') {
    hex = true;
    s.remove_prefix(1);
  } else if (s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    hex = true;
    s.remove_prefix(2);
  }
  if (s.empty()) return false;
  uint64_t value = 0;
  if (hex) {
    if (s.size() > 8) {
      // Leading zeros do not count against the eight digits.
      while (s.size() > 8 && s.front() == '0') s.remove_prefix(1);
      if (s.size() > 8) return false;
    }
    for (char c : s) {
      const int d = HexDigit(c);
      if (d < 0) return false;
      value = value * 16 + static_cast<uint64_t>(d);
    }
    uint32_t bits = static_cast<uint32_t>(value);
    if (negative) bits = 0u - bits;
    out = static_cast<int32_t>(bits);
    return true;
  }
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
    if (value > 2147483648ull) return false;
  }
  if (!negative && value > 2147483647ull) return false;
  out = negative ? static_cast<int32_t>(-static_cast<int64_t>(value)) : static_cast<int32_t>(value);
  return true;
}

bool IniFile::ValueExists(std::string_view section, std::string_view key) const {
  Document doc;
  return doc.Load(path_) && doc.FindKey(section, key).has_value();
}

std::string IniFile::ReadString(std::string_view section, std::string_view key,
                                std::string_view fallback) const {
  Document doc;
  if (!doc.Load(path_)) return std::string(fallback);
  const auto k = doc.FindKey(section, key);
  if (!k) return std::string(fallback);
  return std::string(ReadableValue(doc.ValueAt(*k)));
}

std::vector<std::pair<std::string, std::string>> IniFile::ReadSectionValues(
    std::string_view section) const {
  std::vector<std::pair<std::string, std::string>> out;
  Document doc;
  if (!doc.Load(path_)) return out;
  const auto s = doc.FindSection(section);
  if (!s) return out;
  for (size_t i = *s + 1; i < doc.LineCount(); ++i) {
    const Parsed p = doc.ParseAt(i);
    if (p.kind == Kind::Section) break;
    if (p.kind == Kind::Key) out.emplace_back(std::string(p.name), ReadableValue(p.value));
  }
  return out;
}

int32_t IniFile::ReadInteger(std::string_view section, std::string_view key,
                             int32_t fallback) const {
  int32_t value = 0;
  return ParseProfileInteger(ReadString(section, key, ""), value) ? value : fallback;
}

void IniFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
  Document doc;
  if (!doc.Load(path_)) throw IniWriteError("cannot read " + path_);
  doc.Set(section, key, value);
  if (!Store(path_, doc.Serialize())) {
    throw IniWriteError("cannot write " + path_ + ": " + std::strerror(errno));
  }
}

void IniFile::WriteInteger(std::string_view section, std::string_view key, int32_t value) {
  WriteString(section, key, std::to_string(value));
}

void IniFile::DeleteKey(std::string_view section, std::string_view key) noexcept {
  try {
    Document doc;
    if (!doc.Load(path_)) return;
    if (doc.Remove(section, key)) Store(path_, doc.Serialize());
  } catch (...) {
    // Deleting a key never fails the caller.
  }
}

}  // namespace orbitrace
