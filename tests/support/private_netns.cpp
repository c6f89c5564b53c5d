#include "support/private_netns.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

#include "support/process.h"

namespace ordalen::test {

bool InPrivateNetns() {
  const char* inside = std::getenv("ORDALEN_IN_NETNS");
  const char* none = std::getenv("ORDALEN_NO_NETNS");
  return inside != nullptr && *inside != '\0' && (none == nullptr || *none == '\0');
}

bool NetnsShell(const std::string& command) {
  if (!InPrivateNetns()) return false;
  const ProcessResult r = RunProcess({"/bin/sh", "-c", command}, std::chrono::seconds(10));
  if (r.exit_code != 0) {
    ADD_FAILURE() << "command failed (" << r.exit_code << "): " << command << "\n"
                  << r.out << r.err;
    return false;
  }
  return true;
}

}  // namespace ordalen::test
