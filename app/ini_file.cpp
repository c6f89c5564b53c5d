#include "app/ini_file.h"

#include "base/encoding.h"
#include "base/text.h"
#include "platform/files.h"

namespace ordalen {
namespace {

// UTF-16 text (no byte-order mark) as UTF-8; unconvertible units become U+FFFD.
std::string Utf16ToUtf8(std::string_view bytes, bool big_endian) {
  IconvConverter cv("UTF-8", big_endian ? "UTF-16BE" : "UTF-16LE");
  if (!cv.ok()) return {};
  std::string out;
  while (!bytes.empty()) {
    bytes.remove_prefix(cv.Convert(bytes, out));
    if (bytes.empty()) break;
    // A lone surrogate or a trailing odd byte: replace one unit and go on.
    out.append(kUtf8Replacement);
    bytes.remove_prefix(bytes.size() < 2 ? bytes.size() : 2);
  }
  return out;
}

std::string DecodeProfile(std::string_view bytes) {
  if (bytes.starts_with("\xEF\xBB\xBF"))
    bytes.remove_prefix(3);
  else if (bytes.starts_with("\xFF\xFE"))
    return Utf16ToUtf8(bytes.substr(2), false);
  else if (bytes.starts_with("\xFE\xFF"))
    return Utf16ToUtf8(bytes.substr(2), true);
  return ToUtf8Lenient(bytes);
}

// The first `max` characters (code points) of UTF-8 text (DecodeProfile's
// output always is; a malformed byte would count as one).
std::string CutCharacters(std::string_view text, std::size_t max) {
  std::size_t end = 0;
  for (std::size_t chars = 0; chars < max && end < text.size(); ++chars) {
    const auto c = DecodeUtf8(text.substr(end));
    end += c ? c->length : 1;
  }
  return std::string(text.substr(0, end));
}

std::string_view StripQuotes(std::string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

}  // namespace

IniFile IniFile::Load(const std::string& path) {
  const auto bytes = ReadWholeFile(path, nullptr);
  if (!bytes) return IniFile();
  return Parse(*bytes);
}

IniFile IniFile::Parse(std::string_view bytes) {
  IniFile ini;
  const std::string text = DecodeProfile(bytes);
  Section* current = nullptr;
  std::size_t pos = 0;
  while (pos < text.size()) {
    // A line ends at LF, CR LF or a lone CR.
    std::size_t end = text.find_first_of("\r\n", pos);
    std::size_t next = end + 1;
    if (end == std::string::npos) {
      end = next = text.size();
    } else if (text[end] == '\r' && next < text.size() && text[next] == '\n') {
      ++next;
    }
    const std::string_view line = TrimSpace(std::string_view(text).substr(pos, end - pos));
    pos = next;

    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      const auto close = line.rfind(']');
      if (close != std::string_view::npos) {
        ini.sections_.push_back(Section{std::string(TrimSpace(line.substr(1, close - 1))), {}});
        current = &ini.sections_.back();
        continue;
      }
    }
    if (!current) continue;  // before the first section: unreachable
    const auto eq = line.find('=');
    if (eq == std::string_view::npos) {
      current->entries.emplace_back(std::string(line), std::string());
    } else {
      current->entries.emplace_back(std::string(TrimSpace(line.substr(0, eq))),
                                    std::string(TrimSpace(line.substr(eq + 1))));
    }
  }
  return ini;
}

const std::string* IniFile::Find(std::string_view section, std::string_view key) const {
  const std::string_view want_section = TrimSpace(section);
  const std::string_view want_key = TrimSpace(key);
  for (const Section& s : sections_) {
    if (!EqualsNoCase(s.name, want_section)) continue;
    // Only the first section of a name counts.
    for (const auto& [name, value] : s.entries) {
      if (EqualsNoCase(name, want_key)) return &value;
    }
    return nullptr;
  }
  return nullptr;
}

std::string IniFile::GetString(std::string_view section, std::string_view key,
                               std::string_view fallback) const {
  const std::string* value = Find(section, key);
  return CutCharacters(value ? StripQuotes(*value) : fallback, kProfileTextMax);
}

std::int32_t IniFile::GetInt(std::string_view section, std::string_view key,
                             std::int32_t fallback) const {
  const std::string* value = Find(section, key);
  if (!value) return fallback;
  const std::string_view text = StripQuotes(*value);
  if (text.empty()) return fallback;
  return AtoI(text);
}

}  // namespace ordalen
