#include "support/scan_checks.h"

#include <algorithm>
#include <cctype>

#include "support/lab.h"
#include "support/process.h"

namespace ordalen::test {
namespace {

// "YYYY/MM/DD HH:MM:SS|" at `at`.
bool StampAt(std::string_view text, std::size_t at) {
  static constexpr std::string_view kPattern = "dddd/dd/dd dd:dd:dd|";
  if (at > text.size() || text.size() - at < kPattern.size()) return false;
  for (std::size_t i = 0; i < kPattern.size(); ++i) {
    const char c = text[at + i];
    if (kPattern[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(c)) : c != kPattern[i])
      return false;
  }
  return true;
}

}  // namespace

std::string CheckLogLines(std::string_view log, const std::string& job) {
  const std::string prefix = job.empty() ? std::string() : job + "|";
  std::size_t at = 0;
  int number = 0;
  bool job_seen = false;
  while (at < log.size()) {
    ++number;
    const std::size_t lf = log.find('\n', at);
    if (lf == std::string_view::npos) return "line " + std::to_string(number) + " has no line end";
    const std::string_view line = log.substr(at, lf + 1 - at);
    at = lf + 1;
    const std::string shown = "line " + std::to_string(number) + " '" + std::string(line) + "'";
    if (line.size() < 22 || line[line.size() - 2] != '\r') return shown + ": no CR LF";
    if (!StampAt(line, 0)) return shown + ": no time stamp";
    // The lines written before the job identifier was taken have no job field.
    if (line.substr(20, prefix.size()) == prefix) {
      job_seen = true;
    } else if (job_seen) {
      return shown + ": no job field";
    }
    for (std::size_t i = 1; i + 20 <= line.size(); ++i) {
      if (StampAt(line, i)) return shown + ": two lines in one";
    }
  }
  return {};
}

std::string CheckResultFile(const std::filesystem::path& path) {
  const std::string text = ReadFile(path);
  static constexpr std::string_view kDeclaration =
      "<?xml version=\"1.0\" encoding=\"Shift_JIS\" ?>";
  if (!std::string_view(text).starts_with(kDeclaration)) return path.string() + ": no declaration";
  if (!text.ends_with("</NODE_SCAN>\r\n"))
    return path.string() + ": does not end with the root's end tag";
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r'))
      return path.string() + ": a line without CR";
  }
  const ResultDocument document = ParseResultFile(path);
  if (!document.error.empty()) return document.error;
  if (document.root_name != "NODE_SCAN") return path.string() + ": root " + document.root_name;
  if (document.scan_date.empty()) return path.string() + ": no scan_date";
  if (document.network_card_count != 1) return path.string() + ": not one NETWORK_CARD";
  return {};
}

std::vector<std::string> FilesIn(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator(folder, ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    names.push_back(it->path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace ordalen::test
