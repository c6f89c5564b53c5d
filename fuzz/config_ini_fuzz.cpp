// A "config.ini" file: parsed, then every setting read as the configuration
// loader reads it.
#include <string>

#include "app/config.h"
#include "app/ini_file.h"
#include "app/settings.h"
#include "base/encoding.h"
#include "base/text.h"
#include "fuzz_check.h"

namespace {

std::size_t CodePoints(const std::string& utf8) {
  std::size_t n = 0;
  for (const char c : utf8) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return n;
}

void CheckText(const ordalen::IniFile& ini, std::string_view section, std::string_view key) {
  const std::string value = ini.GetString(section, key, "");
  FUZZ_CHECK(CodePoints(value) <= ordalen::kProfileTextMax);
  FUZZ_CHECK(ordalen::IsValidUtf8(value));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace ordalen;
  static const bool log_ready = (fuzz::UsePrivateLogFolder(), true);
  (void)log_ready;
  const IniFile ini = IniFile::Parse(fuzz::Text(data, size));
  const std::string win_port = ini.GetString("Ordalen", "WinPort", kDefaultWinPort);
  FUZZ_CHECK(IsValidUtf8(win_port));
  for (const std::uint32_t port : ParseWinPorts(win_port)) FUZZ_CHECK(port >= 1 && port <= 65535);
  (void)ini.GetInt("Ordalen", "Thread", kDefaultThreadCount);
  FUZZ_CHECK(ini.GetInt("Ordalen", "NoSuchKey", 12) == 12);
  (void)ini.GetInt("Ordalen", "UseARP", kDefaultUseArp);
  CheckText(ini, "Ordalen", "Community");
  for (int i = 1; i <= 10; ++i) {
    const std::string section = Format("Ordalen_Account_%d", i);
    CheckText(ini, section, "UserName");
    CheckText(ini, section, "Password");
  }
  return 0;
}
