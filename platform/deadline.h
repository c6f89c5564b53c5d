// The time left until a deadline, in the form a wait for sockets (poll) takes.
#pragma once

#include <chrono>

namespace ordalen {

// Milliseconds left until `deadline`, rounded up so that a wait never ends
// before it; 0 once it has passed, and at most a billion (about 11.6 days) for a
// far or unbounded deadline.
int MillisecondsLeft(std::chrono::steady_clock::time_point deadline);

}  // namespace ordalen
