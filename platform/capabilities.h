// Whether raw sockets are open to the program without root: the file
// capability an installation sets on the binary, and the capability in effect
// for the running process (root, that file capability, or a service's ambient
// capability).
#pragma once

#include <string>

namespace ordalen {

// Whether the file at `path` carries cap_net_raw in both its permitted and its
// effective file capabilities ("cap_net_raw+ep").
bool FileHasNetRawCapability(const std::string& path);

// Whether CAP_NET_RAW is in the calling process's effective set.
bool ProcessHasNetRawCapability();

}  // namespace ordalen
