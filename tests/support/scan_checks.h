// Checks of what a whole run of the program left behind: its log lines and its
// result file, as tests of hostile peers, bad files and side-by-side runs need.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace ordalen::test {

// Empty when every line of `log` is whole: "YYYY/MM/DD HH:MM:SS|", then
// "JOB|" when `job` is not empty (from the first line that has it on: the start
// lines come before the job is known), a message, CR LF; and none holds a
// second time stamp (two lines run into one). Otherwise the first bad line.
std::string CheckLogLines(std::string_view log, const std::string& job);

// Empty when `path` is a complete result file: the Shift_JIS declaration, a
// document libxml2 reads without error, root NODE_SCAN with a scan_date and one
// NETWORK_CARD, every line ending in CR LF, the last one closing the root.
// Otherwise what is wrong.
std::string CheckResultFile(const std::filesystem::path& path);

// The names of everything in `folder`, sorted.
std::vector<std::string> FilesIn(const std::filesystem::path& folder);

}  // namespace ordalen::test
