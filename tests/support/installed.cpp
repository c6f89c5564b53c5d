#include "support/installed.h"

#include "support/scan_checks.h"
#include "support/scan_config.h"

namespace ordalen::test {

namespace fs = std::filesystem;

Installed::Installed() {
  fs::permissions(dir_.path(), fs::perms(0755));
  fs::copy_file(OrdalenBinary(), exe());
}

ProcessResult Installed::Run(const Lines& args, Lines prefix) const {
  Lines argv = std::move(prefix);
  argv.push_back(exe().string());
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProcess(argv, kRunLimit, dir_.path().string());
}

ProcessResult Installed::Shell(const std::string& script) const {
  return RunProcess({"/bin/sh", "-c", script}, kRunLimit, dir_.path().string());
}

Installed::Lines Installed::Log() const {
  return LogMessages(LogFile());
}

Installed::Lines Installed::Results() const {
  return FilesIn(dir_.path() / "Ordalen");
}

std::vector<fs::path> Installed::ResultFiles() const {
  std::vector<fs::path> files;
  std::error_code ec;
  for (auto it = fs::directory_iterator(dir_.path() / "Ordalen", ec);
       !ec && it != fs::directory_iterator(); it.increment(ec)) {
    files.push_back(it->path());
  }
  return files;
}

}  // namespace ordalen::test
