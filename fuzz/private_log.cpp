#include <cstdlib>
#include <filesystem>
#include <string>

#include "app/settings.h"
#include "fuzz_check.h"

namespace ordalen::fuzz {
namespace {

std::string& Folder() {
  static std::string folder;
  return folder;
}

void RemoveFolder() {
  std::error_code ec;
  if (!Folder().empty()) std::filesystem::remove_all(Folder(), ec);
}

}  // namespace

void UsePrivateLogFolder() {
  if (!Folder().empty()) return;
  std::error_code ec;
  std::string pattern = (std::filesystem::temp_directory_path(ec) / "ordalen-fuzz-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) std::abort();
  Folder() = pattern;
  ScanConfig().logDir = pattern;
  std::atexit(RemoveFolder);
}

}  // namespace ordalen::fuzz
