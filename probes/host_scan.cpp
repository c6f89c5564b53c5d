#include "probes/host_scan.h"

#include <cerrno>
#include <optional>
#include <vector>

#include "base/sort_string_array.h"
#include "base/text.h"
#include "engine/pool.h"
#include "engine/result_store.h"
#include "platform/tcp_connect.h"
#include "probes/wmi.h"

namespace ordalen {
namespace {

class NetworkProbes final : public HostProbes {
 public:
  bool PortAccepts(std::uint32_t address, std::uint32_t port) override {
    return ConnectProbe(address, port);
  }
  bool AskNodeStatus(std::uint32_t address, std::uint16_t local_port, NodeStatus& answer,
                     OsError& error) override {
    return NetbiosQuery(address, local_port, answer, error);
  }
  bool WmiComputerName(const std::string& ip, const std::string& user, const std::string& password,
                       std::string& name, std::string& failure) override {
    WmiConnection connection;
    bool found = false;
    if (WmiConnect(connection, ip, user, password) == 1) {
      found = WmiQueryComputerName(connection, name) == 1 && !name.empty();
    }
    if (!found) failure = WmiFailureText(connection);
    WmiRelease(connection);
    return found;
  }
};

void ClearFindings(ProbeContext& context) {
  context.Result = -1;
  context.NetbiosFound = 0;
  context.MacAddress.clear();
  context.Name.clear();
  context.Domain.clear();
}

}  // namespace

void ScanWorker(ProbeContext& context, const SCANCONFIG& config, HostProbes& probes,
                OutputSink& out) {
  const std::uint32_t address = context.HostAddress;
  const std::string ip = IpText(address);

  for (const std::uint32_t port : config.winPorts) {
    if (probes.PortAccepts(address, port)) {
      out.Console(Format("[%s]%d:ok\r\n", ip.c_str(), static_cast<int>(port)));
      LogTo(out, "Port[%s]: %d ok", ip.c_str(), static_cast<int>(port));
      context.Result = 1;
      break;
    }
  }

  out.Console("-----------NETBIOS--------------\r\n");
  NodeStatus answer;
  OsError error;
  bool found = false;
  if (const auto local_port = NetbiosLocalPort(config.jobId, context.Slot)) {
    found = probes.AskNodeStatus(address, *local_port, answer, error);
  } else {
    error = MakeOsError(OsErrorKind::kBind, "NetBIOS local port out of range", EINVAL);
  }
  if (found) {
    // An answer counts only with a real MAC and a computer name: an answer with
    // the zero MAC, or none at all, must not replace what ARP found.
    if (!answer.MacAddress.empty() && answer.MacAddress != kZeroMacText &&
        !answer.ComputerName.empty()) {
      context.NetbiosFound = 1;
      context.MacAddress = answer.MacAddress;
      context.Name = answer.ComputerName;
      context.Domain = answer.DomainName;
      out.Console(Format("[%s]%s,%s,%s\r\n", ip.c_str(), answer.MacAddress.c_str(),
                         answer.DomainName.c_str(), answer.ComputerName.c_str()));
      LogTo(out, "NetBIOS[%s]: %s,%s,%s", ip.c_str(), answer.MacAddress.c_str(),
            answer.DomainName.c_str(), answer.ComputerName.c_str());
    }
  } else {
    LogTo(out, "NetBIOS[%s]: error[%d]", ip.c_str(), error.code);
  }

  out.Console("-----------WMI--------------\r\n");
  // Port 135 is touched only when there is an account to try.
  if (!config.wmiUserNames.empty() && probes.PortAccepts(address, kWmiGatePort)) {
    for (std::size_t i = 0; i < config.wmiUserNames.size(); ++i) {
      const std::string& password =
          i < config.wmiPasswords.size() ? config.wmiPasswords[i] : std::string();
      std::string name;
      std::string failure;
      if (probes.WmiComputerName(ip, config.wmiUserNames[i], password, name, failure) &&
          !name.empty()) {
        context.Name = name;
        out.Console(Format("[%s]wmi:%s\n", ip.c_str(), name.c_str()));
        LogTo(out, "WMI[%s]: %s", ip.c_str(), name.c_str());
        break;
      }
      // Account i comes from the section "Ordalen_Account_<i + 1>".
      LogTo(out, "WMI[%s]: account %d: %s", ip.c_str(), static_cast<int>(i) + 1,
            failure.empty() ? "no name" : failure.c_str());
    }
  }
}

void MergeScanResult(ProbeContext& context, OutputSink& out) {
  if (context.Result == -1 && context.NetbiosFound == 0) return;
  const std::string ip = IpText(context.HostAddress);
  out.Console(Format("[%s]scan\r\n", ip.c_str()));
  LogTo(out, "Scan[%s]: scanned", ip.c_str());
  if (SCANRESULT* record = FindHost(ip)) {
    if (context.NetbiosFound == 1) {
      record->MacAddress = context.MacAddress;
      record->DomainName = context.Domain;
      record->NetbiosName = context.Name;
    }
    if (context.Result != -1) record->OsType = context.Result;
  }
  ClearFindings(context);
}

void HostScan(const SCANCONFIG& config, HostProbes& probes, OutputSink& out) {
  CSortStringArray keys;
  for (const auto& entry : Results()) keys.push_back(entry.key);
  keys.Sort();
  std::vector<std::uint32_t> addresses;
  addresses.reserve(keys.size());
  for (const std::string& key : keys) {
    if (const auto address = ParseDottedQuad(key)) addresses.push_back(*address);
  }

  const int threads = EffectiveThreadCount(config.threadCount);
  if (!addresses.empty() &&
      (!NetbiosLocalPort(config.jobId, 0) || !NetbiosLocalPort(config.jobId, threads - 1))) {
    LogTo(out, "NetBIOS: job \"%s\" gives local ports outside 1..65535: no NetBIOS query",
          config.jobId.c_str());
  }

  RunWorkerBatch<ProbeContext>(
      threads, addresses.size(),
      [&](ProbeContext& context, std::uint64_t index, int slot) {
        context.Slot = slot;
        context.HostAddress = addresses[static_cast<std::size_t>(index)];
        ClearFindings(context);
      },
      [&](ProbeContext& context) { ScanWorker(context, config, probes, out); },
      [&](ProbeContext& context, MergeWhen) { MergeScanResult(context, out); });
}

std::unique_ptr<HostProbes> MakeNetworkProbes() {
  return std::make_unique<NetworkProbes>();
}

}  // namespace ordalen
