#include "platform/capabilities.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>

#include "support/process.h"

namespace ordalen {
namespace {

TEST(CapabilitiesTest, FileCapabilityIsSeenOnlyAsPermittedAndEffectiveNetRaw) {
  if (::geteuid() != 0) GTEST_SKIP() << "setting file capabilities needs root";
  test::TempDir dir;
  const auto file = dir.Write("program", "#!/bin/sh\n");
  struct Case {
    const char* caps;  // for setcap; nullptr: none
    bool net_raw;
  } cases[] = {
      {nullptr, false},
      {"cap_net_raw+ep", true},
      {"cap_net_raw,cap_net_admin+ep", true},
      {"cap_net_raw+p", false},  // permitted, not effective: a program must raise it itself
      {"cap_net_raw+ei", false},
      {"cap_net_admin+ep", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.caps ? c.caps : "none");
    test::RunProcess({"setcap", "-r", file.string()}, std::chrono::seconds(10));
    if (c.caps) {
      const auto set =
          test::RunProcess({"setcap", c.caps, file.string()}, std::chrono::seconds(10));
      if (set.exit_code != 0) GTEST_SKIP() << "setcap failed here: " << set.err;
    }
    EXPECT_EQ(FileHasNetRawCapability(file.string()), c.net_raw);
  }
  EXPECT_FALSE(FileHasNetRawCapability((dir.path() / "missing").string()));
}

}  // namespace
}  // namespace ordalen
