// Guard for tests that run a scan: only where nothing can leave the machine.
#pragma once

namespace ordalen::test {

// True inside a network namespace (set up by scripts/in-netns.sh) whose only
// card is loopback.
bool OnlyLoopback();

}  // namespace ordalen::test
