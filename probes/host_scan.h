// The host scan: every stored host is probed on the configured TCP ports, asked
// for its NetBIOS node status and, with Windows accounts configured and TCP 135
// open, for its computer name through its management service. Usable answers
// complete the host's record; the phase adds no host.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "app/log.h"
#include "app/settings.h"
#include "probes/netbios.h"
#include "probes/probe_context.h"

namespace ordalen {

// The port that must accept before any management-service attempt is made.
inline constexpr std::uint32_t kWmiGatePort = 135;

// What a scan worker asks of the network. The real probes talk to the host;
// tests put fakes in their place.
class HostProbes {
 public:
  virtual ~HostProbes() = default;
  // Whether the host accepted a TCP connection on the port (ConnectProbe).
  virtual bool PortAccepts(std::uint32_t address, std::uint32_t port) = 0;
  // The NetBIOS node status of the host (NetbiosQuery): true and `answer` for a
  // usable answer; else false and the failed call in `error` (empty when the
  // host simply did not answer).
  virtual bool AskNodeStatus(std::uint32_t address, std::uint16_t local_port, NodeStatus& answer,
                             OsError& error) = 0;
  // One attempt with one account: connect, ask the computer name, release.
  // True with a non-empty `name`; otherwise false and `failure` says why in a
  // few words for the log (never an account text).
  virtual bool WmiComputerName(const std::string& ip, const std::string& user,
                               const std::string& password, std::string& name,
                               std::string& failure) = 0;
};

// The probes that talk to the host: TCP connects, the NetBIOS query, the
// management-service client.
std::unique_ptr<HostProbes> MakeNetworkProbes();

// Runs the phase over the hosts in the result store. Console and log lines go
// to `out`, from the workers too.
void HostScan(const SCANCONFIG& config, HostProbes& probes, OutputSink& out);

// The worker of one slot: ports, NetBIOS, the management-service name. Writes
// only `context`.
void ScanWorker(ProbeContext& context, const SCANCONFIG& config, HostProbes& probes,
                OutputSink& out);

// Folds a finished slot into the result store (dispatching thread only) and
// clears the slot's findings. A slot without findings changes and prints nothing.
void MergeScanResult(ProbeContext& context, OutputSink& out);

}  // namespace ordalen
