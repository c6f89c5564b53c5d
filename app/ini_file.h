// A reader for "config.ini" with the profile-file rules users of the program
// know: "[Section]" lines, "key=value" lines, ";" comment lines.
//
//  - section and key names are trimmed and compared ignoring ASCII case; only the
//    first section of a name, and the first key of a name inside it, count;
//  - a value is trimmed of white space and loses one pair of matching outer
//    quotes (" or '); there are no inline comments and "#" is an ordinary byte;
//  - lines end in LF, CR LF or CR; keys before the first section are unreachable;
//  - text values are cut to 259 characters;
//  - the file is UTF-8 (a byte-order mark is skipped), UTF-16 with a byte-order
//    mark, or else CP932 as written on Japanese Windows.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ordalen {

inline constexpr std::size_t kProfileTextMax = 259;

class IniFile {
 public:
  // The profile held in `path`; a missing or unreadable file is an empty profile.
  static IniFile Load(const std::string& path);
  // The profile held in `bytes` (the file's content).
  static IniFile Parse(std::string_view bytes);

  // The value of `key` in `section`, or `fallback` when either is missing; the
  // result is cut to 259 characters.
  [[nodiscard]] std::string GetString(std::string_view section, std::string_view key,
                                      std::string_view fallback) const;
  // The value read as a signed decimal number (leading digits; wraps modulo 2^32;
  // text without digits gives 0), or `fallback` when the key is missing or empty.
  [[nodiscard]] std::int32_t GetInt(std::string_view section, std::string_view key,
                                    std::int32_t fallback) const;

 private:
  struct Section {
    std::string name;
    std::vector<std::pair<std::string, std::string>> entries;
  };
  const std::string* Find(std::string_view section, std::string_view key) const;

  std::vector<Section> sections_;
};

}  // namespace ordalen
