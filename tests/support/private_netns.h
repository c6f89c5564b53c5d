// Test helpers for tests that change the throwaway network namespace they run
// in (scripts/in-netns.sh): add veth cards, set per-namespace sysctls.
#pragma once

#include <string>

namespace ordalen::test {

// True only inside a namespace of the test's own (ORDALEN_IN_NETNS set and
// ORDALEN_NO_NETNS not), so nothing here ever touches the machine's own network.
bool InPrivateNetns();

// Runs `command` with /bin/sh in that namespace (10 s limit); true on exit 0.
// The output goes to the test's log on failure.
bool NetnsShell(const std::string& command);

}  // namespace ordalen::test

#define ORDALEN_REQUIRE_PRIVATE_NETNS()                                                          \
  do {                                                                                           \
    if (!::ordalen::test::InPrivateNetns()) GTEST_SKIP() << "needs a private network namespace"; \
  } while (0)
