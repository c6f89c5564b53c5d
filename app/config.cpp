#include "app/config.h"

#include "app/ini_file.h"
#include "app/log.h"
#include "app/settings.h"
#include "base/text.h"
#include "platform/files.h"

namespace ordalen {
namespace {

constexpr const char* kSection = "Ordalen";
constexpr int kMaxWmiAccounts = 10;
constexpr std::uint32_t kMaxPort = 65535;

void LoadAccounts(const std::string& path, MibAccountTable& accounts) {
  CCsvFile file;
  if (!file.Open(path)) return;
  std::vector<std::string> fields;
  for (int line = 1; file.ReadData(fields); ++line) {
    const auto parsed = ParseAccountLine(fields);
    if (const auto* why = std::get_if<const char*>(&parsed)) {
      // The reason names no field's content: a pass phrase never reaches the log.
      WriteLog("accounts.csv line %d skipped: %s", line, *why);
    } else {
      accounts.Add(std::get<AccountLine>(parsed));
    }
    fields.clear();
  }
}

}  // namespace

std::vector<std::uint32_t> ParseWinPorts(std::string_view text) {
  std::vector<std::uint32_t> ports;
  std::size_t pos = 0;
  while (pos <= text.size()) {
    std::size_t comma = text.find(',', pos);
    if (comma == std::string_view::npos) comma = text.size();
    const std::string_view token = text.substr(pos, comma - pos);
    pos = comma + 1;
    if (token.empty()) continue;
    const std::int32_t port = AtoI(TrimSpace(token));
    if (port <= 0) continue;
    if (static_cast<std::uint32_t>(port) > kMaxPort) {
      WriteLog("Config: WinPort %d is not a TCP port: skipped", port);
      continue;
    }
    ports.push_back(static_cast<std::uint32_t>(port));
  }
  return ports;
}

void LoadConfiguration() {
  // The settings folder of InitWorkingFolders; before it, the executable's.
  const std::string& folder = ScanConfig().settingsDir;
  LoadConfiguration(folder.empty() ? FolderOf(ExecutablePath()).value_or(".") : folder);
}

void LoadConfiguration(const std::string& folder) {
  SCANCONFIG& config = ScanConfig();
  const IniFile ini = IniFile::Load(folder + "/config.ini");

  const std::string win_port = ini.GetString(kSection, "WinPort", kDefaultWinPort);
  WriteLog("Config: WinPort=%s", win_port.c_str());
  for (std::uint32_t port : ParseWinPorts(win_port)) config.winPorts.push_back(port);

  config.threadCount = ini.GetInt(kSection, "Thread", kDefaultThreadCount);
  WriteLog("Config: Thread=%d", config.threadCount);

  config.useArp = ini.GetInt(kSection, "UseARP", kDefaultUseArp) > 0 ? 1 : 0;
  WriteLog("Config: UseARP=%d", config.useArp);

  for (int i = 1; i <= kMaxWmiAccounts; ++i) {
    const std::string section = Format("Ordalen_Account_%d", i);
    std::string user = ini.GetString(section, "UserName", "");
    if (user.empty()) break;
    std::string password = ini.GetString(section, "Password", "");
    if (password.empty()) break;
    config.wmiUserNames.push_back(std::move(user));
    config.wmiPasswords.push_back(std::move(password));
  }
  if (!config.wmiUserNames.empty()) WriteLog("Config: UseWMI=TRUE");

  config.community = ini.GetString(kSection, "Community", kDefaultCommunity);
  WriteLog("Config: Community=%s", config.community.c_str());

  LoadAccounts(folder + "/accounts.csv", config.mibAccounts);
}

bool CCsvFile::Open(const std::string& path) {
  auto content = ReadWholeFile(path, nullptr);
  if (!content) return false;
  content_ = std::move(*content);
  pos_ = 0;
  // A byte-order mark from a UTF-8 editor is not part of the first address.
  if (content_.starts_with("\xEF\xBB\xBF")) pos_ = 3;
  return true;
}

bool CCsvFile::ReadLine(std::string& line) {
  if (pos_ >= content_.size()) return false;
  std::size_t end = content_.find('\n', pos_);
  std::size_t next = end + 1;
  if (end == std::string::npos) end = next = content_.size();
  // CR LF ends a line as LF does; a lone CR is an ordinary byte.
  std::size_t stop = end;
  if (end < content_.size() && stop > pos_ && content_[stop - 1] == '\r') --stop;
  line.assign(content_, pos_, stop - pos_);
  pos_ = next;
  return true;
}

bool CCsvFile::ReadData(std::vector<std::string>& fields) {
  std::string line;
  if (!ReadLine(line)) return false;
  std::size_t count = 0;
  std::size_t pos = 0;
  while (pos < line.size()) {
    std::string field;
    if (line[pos] == '"') {
      ++pos;
      while (pos < line.size()) {
        if (line[pos] == '"') {
          if (pos + 1 < line.size() && line[pos + 1] == '"') {
            field.push_back('"');
            pos += 2;
            continue;
          }
          ++pos;  // the closing quote
          break;
        }
        field.push_back(line[pos++]);
      }
      if (pos < line.size()) ++pos;  // the separator after the closing quote
    } else {
      std::size_t comma = line.find(',', pos);
      if (comma == std::string::npos) comma = line.size();
      field.assign(line, pos, comma - pos);
      pos = comma + 1;
    }
    if (count < fields.size()) {
      fields[count] = std::move(field);
    } else {
      fields.push_back(std::move(field));
    }
    ++count;
  }
  fields.resize(count);
  return true;
}

}  // namespace ordalen
