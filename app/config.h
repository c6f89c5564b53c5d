// "config.ini" and "accounts.csv": the scan settings, Windows accounts and
// SNMPv3 accounts, read once at start and logged as "Config:" lines.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ordalen {

// Reads both files from the executable's folder into ScanConfig().
void LoadConfiguration();
// The same with the files in `folder`.
void LoadConfiguration(const std::string& folder);

// The TCP ports of a "WinPort" text, in order, duplicates kept: comma-separated
// tokens, each trimmed and read as a leading decimal number; tokens that are not
// a port from 1 to 65535 are skipped.
std::vector<std::uint32_t> ParseWinPorts(std::string_view text);

// A comma-separated text file read one record per line ("accounts.csv").
class CCsvFile {
 public:
  CCsvFile() = default;
  // A reader over text already in memory.
  explicit CCsvFile(std::string content) : content_(std::move(content)) {}

  // Reads the whole file at `path`; false when it cannot be opened.
  bool Open(const std::string& path);

  // Replaces `fields` with the fields of the next line and returns true (an
  // empty line gives no field); at the end of the file returns false and leaves
  // `fields` alone. A field in double quotes may hold commas and "" for one
  // quote; the byte after its closing quote is taken as the separator.
  bool ReadData(std::vector<std::string>& fields);

 private:
  bool ReadLine(std::string& line);

  std::string content_;
  std::size_t pos_ = 0;
};

}  // namespace ordalen
