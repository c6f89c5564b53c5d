#include "support/loopback_only.h"

#include <cstdlib>
#include <sstream>
#include <string>

#include "support/process.h"

namespace ordalen::test {

bool OnlyLoopback() {
  if (!std::getenv("ORDALEN_IN_NETNS")) return false;
  // The cards of this process's own namespace (/sys/class/net may show another's).
  std::istringstream dev(ReadFile("/proc/self/net/dev"));
  int cards = 0;
  for (std::string line; std::getline(dev, line);) {
    const auto colon = line.find(':');
    if (colon == std::string::npos) continue;  // the two header lines
    const auto first = line.find_first_not_of(' ');
    if (line.substr(first, colon - first) != "lo") return false;
    ++cards;
  }
  return cards == 1;
}

}  // namespace ordalen::test
