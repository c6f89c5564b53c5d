#include "probes/raw_notice.h"

#include "app/log.h"
#include "base/text.h"
#include "platform/files.h"

namespace ordalen {

std::string RawSocketNotice(RawSocketPhase phase, const OsError& error,
                            const std::string& program) {
  const bool arp = phase == RawSocketPhase::kArp;
  const char* name = arp ? "ARP" : "ping";
  const char* sweep = arp ? "ARP sweep" : "ping sweep";
  if (!IsPermissionError(error)) {
    return Format("%s: cannot %s (%s). The %s finds no host.", name,
                  arp ? "send ARP requests" : "open an ICMP socket", error.message.c_str(), sweep);
  }
  return Format(
      "%s: no permission to %s (%s). The %s finds no host. It needs the capability CAP_NET_RAW: "
      "give it to the program once with `setcap cap_net_raw+ep %s`, or to the service with "
      "AmbientCapabilities=CAP_NET_RAW%s.",
      name, arp ? "send raw ARP frames" : "open an ICMP socket", error.message.c_str(), sweep,
      program.empty() ? "PROGRAM" : program.c_str(),
      arp ? "" : " (or let its group open ICMP sockets: net.ipv4.ping_group_range)");
}

void NoticeRawSocketRefused(RawSocketPhase phase, const OsError& error, OutputSink& out) {
  const std::string text = RawSocketNotice(phase, error, ExecutablePath());
  out.Error(text + "\r\n");
  LogTo(out, "%s", text.c_str());
}

}  // namespace ordalen
