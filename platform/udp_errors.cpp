#include "platform/udp_errors.h"

#include <linux/errqueue.h>
#include <netinet/in.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace ordalen {
namespace {

// Errors taken from one queue at most: the queue is bounded by the socket's
// receive buffer, and one pass should not spin on a peer that floods.
constexpr int kMaxQueuedErrors = 64;

}  // namespace

bool QueueUdpErrors(int fd, OsError* error) {
  const int on = 1;
  if (setsockopt(fd, IPPROTO_IP, IP_RECVERR, &on, sizeof on) == 0) return true;
  if (error != nullptr)
    *error = MakeOsError(OsErrorKind::kSocketOption, "setsockopt(IP_RECVERR)", errno);
  return false;
}

bool TakePortUnreachable(int fd) {
  bool unreachable = false;
  for (int i = 0; i < kMaxQueuedErrors; ++i) {
    std::array<char, 512> control{};
    sockaddr_in offender_to{};
    msghdr message{};
    message.msg_name = &offender_to;
    message.msg_namelen = sizeof offender_to;
    message.msg_control = control.data();
    message.msg_controllen = control.size();
    if (recvmsg(fd, &message, MSG_ERRQUEUE | MSG_DONTWAIT) < 0) break;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
      if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_RECVERR) continue;
      sock_extended_err extended{};
      std::memcpy(&extended, CMSG_DATA(c), sizeof extended);
      if (extended.ee_origin == SO_EE_ORIGIN_ICMP && extended.ee_type == ICMP_DEST_UNREACH &&
          extended.ee_code == ICMP_PORT_UNREACH) {
        unreachable = true;
      }
    }
  }
  return unreachable;
}

bool DatagramWaiting(int fd) {
  pollfd one{fd, POLLIN, 0};
  return poll(&one, 1, 0) > 0 && (one.revents & POLLIN) != 0;
}

}  // namespace ordalen
