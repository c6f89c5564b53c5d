// ICMP errors for the datagrams an unconnected UDP socket sends. The kernel
// reports them to a connected socket only; once asked, it queues them on any
// socket, where they can be read without taking the socket's data.
#pragma once

#include "platform/os_error.h"

namespace ordalen {

// Asks the kernel to queue ICMP errors for what `fd` (an IPv4 UDP socket) sends.
// False, with the reason in `error`, when it refuses.
bool QueueUdpErrors(int fd, OsError* error);

// Takes every queued error off `fd` without blocking; true when one of them was
// an ICMP port unreachable (the host has no listener on the port asked).
bool TakePortUnreachable(int fd);

// Whether a datagram waits to be read on `fd` (an error alone does not count).
bool DatagramWaiting(int fd);

}  // namespace ordalen
