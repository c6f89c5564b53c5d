#include "probes/raw_notice.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

namespace ordalen {
namespace {

TEST(RawSocketNoticeTest, PermissionNamesBothRemediesWithTheProgramsPath) {
  struct Case {
    RawSocketPhase phase;
    OsError error;
    std::vector<std::string> says;
    std::vector<std::string> never;
  } cases[] = {
      {RawSocketPhase::kArp,
       {OsErrorKind::kSocket, EPERM, "socket(AF_PACKET): Operation not permitted"},
       {"ARP: no permission to send raw ARP frames (socket(AF_PACKET): Operation not permitted)",
        "The ARP sweep finds no host.", "setcap cap_net_raw+ep /opt/x/ordalen",
        "AmbientCapabilities=CAP_NET_RAW"},
       {"ping_group_range"}},
      {RawSocketPhase::kPing,
       {OsErrorKind::kSocket, EACCES, "socket(ICMP raw): Permission denied"},
       {"ping: no permission to open an ICMP socket", "The ping sweep finds no host.",
        "setcap cap_net_raw+ep /opt/x/ordalen", "AmbientCapabilities=CAP_NET_RAW",
        "net.ipv4.ping_group_range"},
       {}},
      {RawSocketPhase::kArp,
       {OsErrorKind::kSocket, EAFNOSUPPORT,
        "socket(AF_PACKET): Address family not supported by protocol"},
       {"ARP: cannot send ARP requests (socket(AF_PACKET): Address family",
        "The ARP sweep finds no host."},
       {"setcap", "AmbientCapabilities"}},
      {RawSocketPhase::kPing,
       {OsErrorKind::kSocket, EMFILE, "socket(ICMP raw): Too many open files"},
       {"ping: cannot open an ICMP socket (socket(ICMP raw): Too many open files)"},
       {"setcap"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error.message);
    const std::string text = RawSocketNotice(c.phase, c.error, "/opt/x/ordalen");
    for (const auto& part : c.says) EXPECT_NE(text.find(part), std::string::npos) << text;
    for (const auto& part : c.never) EXPECT_EQ(text.find(part), std::string::npos) << text;
    EXPECT_EQ(text.find('\n'), std::string::npos);
  }
}

}  // namespace
}  // namespace ordalen
