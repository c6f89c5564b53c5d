// A classic BPF program attached to a socket, so that the kernel hands it only
// the packets the program keeps (one run of the program per packet). For the
// platform layer's own sockets.
#pragma once

#include <linux/filter.h>

#include <span>

#include "platform/os_error.h"

namespace ordalen {

// Attaches `code` to `fd` (SO_ATTACH_FILTER); false and the reason when the
// system refuses it.
bool AttachSocketFilter(int fd, std::span<sock_filter> code, OsError* error);

}  // namespace ordalen
