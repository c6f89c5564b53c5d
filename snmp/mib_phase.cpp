#include "snmp/mib_phase.h"

#include <algorithm>
#include <exception>
#include <memory>
#include <optional>
#include <stop_token>
#include <thread>
#include <utility>

#include "base/sort_string_array.h"
#include "base/text.h"
#include "engine/pool.h"
#include "engine/result_store.h"
#include "output/xml_result.h"
#include "platform/address_text.h"
#include "snmp/netsnmp_get.h"

namespace ordalen {
namespace {

class SystemMib final : public MibOps {
 public:
  explicit SystemMib(const SnmpCredentials& credentials) : credentials_(credentials) {}
  bool Walk(const std::string& agent, OidValueMap& results, QueryOutcome& outcome,
            OutputSink& out) override {
    return WalkDevice(agent, credentials_.community, results, out, WalkLimits{}, &outcome) == 0;
  }
  bool ManagerGet(const std::string& agent, const std::string& oid, std::string& value,
                  QueryOutcome& outcome) override {
    return GetDeviceValue(agent, credentials_.community, oid, value, &outcome) == 0;
  }
  bool LibraryGet(const std::string& oid, std::string& value, const std::string& agent,
                  SnmpVersion version, QueryOutcome& outcome,
                  const NetSnmpGetControl& control) override {
    return NetSnmpGet(oid, value, agent, version, credentials_, &outcome, control) == 0;
  }
  HostLookup& Names() override { return SystemHostLookup(); }
  EchoOps& Echoes() override { return SystemEchoOps(); }

 private:
  const SnmpCredentials credentials_;  // read by many workers at once, never written
};

// One way of asking a device, open until it stays silent once.
struct Way {
  bool open = true;
  // Closes the way after a query that got no answer at all.
  void Saw(QueryOutcome outcome) {
    if (outcome == QueryOutcome::kTimedOut) open = false;
  }
};

// A library GET asked ahead of its turn on a thread of its own, its lines held
// back. Take writes them and gives its result as the GET would have given it in
// its turn; a GET never taken is stopped and its lines dropped.
class EarlyGet {
 public:
  EarlyGet() = default;
  ~EarlyGet() {
    if (!thread_.joinable()) return;
    thread_.request_stop();
    thread_.join();
  }
  EarlyGet(const EarlyGet&) = delete;
  EarlyGet& operator=(const EarlyGet&) = delete;

  // Starts the GET. Without a thread to be had nothing starts, and the GET is
  // asked in its turn.
  void Start(MibOps& ops, const std::string& oid, const std::string& agent, SnmpVersion version) {
    try {
      thread_ = std::jthread([this, &ops, oid, agent, version](std::stop_token stop) {
        NetSnmpGetControl control;
        control.out = &held_;
        control.stop = std::move(stop);
        asked_ = ops.LibraryGet(oid, value_, agent, version, outcome_, control);
      });
    } catch (const std::exception&) {
      // Not started: Started() stays false.
    }
  }
  [[nodiscard]] bool Started() const { return thread_.joinable(); }

  // Waits for the GET, writes its lines to `out` and gives its value, outcome
  // and whether it was asked.
  bool Take(std::string& value, QueryOutcome& outcome, OutputSink& out) {
    thread_.join();
    held_.ReplayInto(out);
    value = value_;
    outcome = outcome_;
    return asked_;
  }

 private:
  HeldOutput held_;
  std::string value_;
  QueryOutcome outcome_ = QueryOutcome::kNotAsked;
  bool asked_ = false;
  std::jthread thread_;  // last: ends before what it writes
};

// The identified model, written into the job.
void SetModel(MibJob& job, const std::string& model_value, std::string_view version_value) {
  job.Values[kFirmVersionKey] = std::string(version_value);
  job.Values[kModelNameKey] = model_value;
}

// One library way (v2c or v3) for one model entry. True when the entry is
// settled (name and version read); the job may hold "(MIB) No Key" otherwise.
// The library GET empties its value first and gives no other sign of failure,
// so an empty answer cannot be told from none: it counts as no answer, for the
// model name as for the version. `early`, when given, is this way's model GET,
// already asked.
bool LibraryWay(MibJob& job, MibOps& ops, OutputSink& out, const ModelMIB& entry,
                SnmpVersion version, Way& way, std::string& model_value, std::string& version_value,
                EarlyGet* early) {
  if (!way.open) return false;
  NetSnmpGetControl control;
  control.out = &out;
  QueryOutcome outcome = QueryOutcome::kNotAsked;
  const bool model_asked =
      early != nullptr
          ? early->Take(model_value, outcome, out)
          : ops.LibraryGet(entry.modelMib, model_value, job.HostText, version, outcome, control);
  way.Saw(outcome);
  if (!model_asked || model_value.empty() || !ModelValueMatches(model_value, entry.model)) {
    return false;
  }
  const bool version_asked =
      ops.LibraryGet(entry.versionMib, version_value, job.HostText, version, outcome, control);
  way.Saw(outcome);
  if (version_asked && !version_value.empty()) {
    SetModel(job, model_value, version_value);
    return true;
  }
  SetModel(job, model_value, kNoVersionKey);
  return false;
}

// The dotted address of a device-table row, with its number; nullopt when the
// index is not a plain IPv4 address (a device listing something else).
struct RowAddress {
  std::string text;
  std::uint32_t number = 0;
};
std::optional<RowAddress> ParseRowAddress(const std::string& text) {
  const std::optional<std::uint32_t> number = ParseIpv4Text(text);
  // Only the canonical four-part form: "10.1" or "010.0.0.1" would be another
  // host's key than the one the device meant.
  if (!number || IpText(*number) != text) return std::nullopt;
  return RowAddress{text, *number};
}

enum class RowKind { kArp, kAddress };

// One ARP-table or address-table row of `job`'s device: `address` is the row's
// address text, `value` a MAC text (ARP table) or a subnet mask (address table).
void MergeTableRow(const MibJob& job, const SCANCONFIG& config, MibOps& ops, OutputSink& out,
                   DeviceTableHosts* later, RowKind kind, const std::string& address,
                   const std::string& value) {
  out.Console(Format(" ip:%s mac:%s\r\n", address.c_str(), value.c_str()));
  LogTo(out, "SNMP[%s]: ip[%s] mac[%s]", job.HostText.c_str(), address.c_str(), value.c_str());
  if (value.empty() || value == kZeroMacText) return;

  // Without a range on the command line no row is taken (a row for 0.0.0.0
  // would otherwise pass the bounds 0..0).
  if (config.rangeStart == 0 && config.rangeEnd == 0) return;
  const std::optional<RowAddress> row = ParseRowAddress(address);
  if (!row || row->number < config.rangeStart || row->number > config.rangeEnd) return;

  if (SCANRESULT* host = FindHost(row->text)) {
    if (kind == RowKind::kArp) {
      host->MacAddress = AsciiUpper(value);
    } else {
      host->NetMask = value;
    }
    return;
  }
  auto record = std::make_unique<SCANRESULT>();
  record->IpAddress = row->text;
  if (kind == RowKind::kArp) {
    record->MacAddress = AsciiUpper(value);
  } else {
    record->NetMask = value;
  }
  record->FromDeviceTable = 1;
  if (later == nullptr) {
    record->NetbiosName = LookupHostName(row->text, ops.Names());
    const std::optional<int> ttl = PingHost(row->number, ops.Echoes(), out);
    record->OsType = ttl ? TtlToOsType(*ttl) : 0;
  } else {
    later->push_back(row->text);
  }
  HostSlot(row->text) = std::move(record);
}

// The reverse name and echo of one device-table host, taken on a worker.
struct HostQuery {
  std::string ip;
  std::string name;
  int os_type = 0;
  bool done = false;
};

// The host's record field for one of the device's own values, or nullptr.
std::string* OwnValueField(SCANRESULT& host, std::string_view key) {
  if (key == kSysDescrOid) return &host.SysDescr;
  if (key == kMarkerCountOid) return &host.MarkerCount;
  if (EqualsNoCase(key, kModelNameKey)) return &host.ModelName;
  if (EqualsNoCase(key, kFirmVersionKey)) return &host.FirmVersion;
  return nullptr;
}

void MergeSlot(MibJob& job, MergeWhen when, const SCANCONFIG& config, MibOps& ops, OutputSink& out,
               DeviceTableHosts& later) {
  if (job.Values.empty()) return;
  out.Console(Format("[%s]scan\r\n", job.HostText.c_str()));
  if (when == MergeWhen::kDispatch) {
    LogTo(out, "MIB[%s]: scan", job.HostText.c_str());
  } else {
    LogTo(out, "MIB[%s]: found", job.HostText.c_str());
  }
  MergeDeviceResults(job, config, ops, out, &later);
  // Merged once: a slot that comes round again without new work adds nothing.
  job.Values.RemoveAll();
}

}  // namespace

std::unique_ptr<MibOps> MakeSystemMibOps(const SnmpCredentials& credentials) {
  return std::make_unique<SystemMib>(credentials);
}

bool ModelValueMatches(std::string_view device_value, std::string_view model) {
  // The device sends bytes; the table's names are UTF-8. The value is read the
  // way the result file shows it (UTF-8 as it is, else Shift_JIS), so a name
  // matches exactly the values a reader of the result would call that model.
  const std::string value = AsciiLower(XmlSafeText(device_value));
  return StartsWith(value, AsciiLower(model));
}

void IdentifyDevice(MibJob& job, const std::vector<ModelMIB>& table, MibOps& probes,
                    OutputSink& out, WaysSideBySide side_by_side) {
  QueryOutcome walked = QueryOutcome::kNotAsked;
  probes.Walk(job.HostText, job.Values, walked, out);
  if (walked == QueryOutcome::kPortClosed) {
    LogTo(out, "MIB[%s]: no SNMP agent (port 161 closed)", job.HostText.c_str());
    return;
  }
  // The walk asks as way A does (SNMPv1, the same community).
  Way way_a;
  way_a.Saw(walked);
  Way way_b;
  Way way_c;
  // A device silent to the walk is likely silent to every version: the first
  // entry's way C GET waits out its time-out beside way B's.
  EarlyGet early_c;
  if (side_by_side == WaysSideBySide::kWhenWalkSilent && walked == QueryOutcome::kTimedOut &&
      !table.empty()) {
    early_c.Start(probes, table.front().modelMib, job.HostText, SnmpVersion::kV3);
  }
  // Shared by every step below, as the manager GET leaves a value alone when
  // nothing came.
  std::string model_value;
  std::string version_value;
  for (const ModelMIB& entry : table) {
    // Way A: SNMPv1 through the manager path; an empty version is an answer here.
    if (way_a.open) {
      QueryOutcome outcome = QueryOutcome::kNotAsked;
      const bool model_set = probes.ManagerGet(job.HostText, entry.modelMib, model_value, outcome);
      way_a.Saw(outcome);
      if (model_set && ModelValueMatches(model_value, entry.model)) {
        const bool version_set =
            probes.ManagerGet(job.HostText, entry.versionMib, version_value, outcome);
        way_a.Saw(outcome);
        if (version_set) {
          SetModel(job, model_value, version_value);
          return;
        }
        SetModel(job, model_value, kNoVersionKey);
      }
    }
    // Ways B and C: SNMPv2c and SNMPv3 through the library path.
    if (LibraryWay(job, probes, out, entry, SnmpVersion::kV2c, way_b, model_value, version_value,
                   nullptr))
      return;
    EarlyGet* early = &entry == &table.front() && early_c.Started() ? &early_c : nullptr;
    if (LibraryWay(job, probes, out, entry, SnmpVersion::kV3, way_c, model_value, version_value,
                   early))
      return;
  }
}

void MergeDeviceResults(MibJob& job, const SCANCONFIG& config, MibOps& probes, OutputSink& out,
                        DeviceTableHosts* later) {
  for (const auto& entry : job.Values) {
    const std::string& key = entry.key;
    if (StartsWith(key, kArpTablePrefix)) {
      // The index is the interface number, then the address.
      const std::string rest = key.substr(kArpTablePrefix.size());
      const std::size_t dot = rest.find('.');
      const std::string address = dot == std::string::npos ? std::string() : rest.substr(dot + 1);
      MergeTableRow(job, config, probes, out, later, RowKind::kArp, address, entry.value);
    } else if (StartsWith(key, kAddressMaskPrefix)) {
      MergeTableRow(job, config, probes, out, later, RowKind::kAddress,
                    key.substr(kAddressMaskPrefix.size()), entry.value);
    } else if (SCANRESULT* host = FindHost(job.HostText)) {
      if (std::string* field = OwnValueField(*host, key)) *field = entry.value;
    }
  }
}

void CompleteDeviceTableHosts(const DeviceTableHosts& hosts, MibOps& probes, OutputSink& out,
                              int threads) {
  RunWorkerBatch<HostQuery>(
      threads, hosts.size(),
      [&hosts](HostQuery& query, std::uint64_t index, int /*slot*/) {
        query = HostQuery{};
        query.ip = hosts[static_cast<std::size_t>(index)];
      },
      [&probes, &out](HostQuery& query) {
        query.name = LookupHostName(query.ip, probes.Names());
        const std::optional<std::uint32_t> number = ParseIpv4Text(query.ip);
        const std::optional<int> ttl =
            number ? PingHost(*number, probes.Echoes(), out) : std::nullopt;
        query.os_type = ttl ? TtlToOsType(*ttl) : 0;
        query.done = true;
      },
      [](HostQuery& query, MergeWhen /*when*/) {
        if (!query.done) return;
        if (SCANRESULT* host = FindHost(query.ip)) {
          host->NetbiosName = query.name;
          host->OsType = query.os_type;
        }
        query.done = false;
      });
}

void RunMibPhase(const SCANCONFIG& config, const std::vector<ModelMIB>& table, MibOps& probes,
                 OutputSink& out) {
  // Every host, however it was found, in ascending text order.
  CSortStringArray hosts;
  hosts.reserve(Results().size());
  for (const auto& entry : Results()) hosts.push_back(entry.key);
  hosts.Sort();

  const int threads = std::min(EffectiveThreadCount(config.threadCount), kMibMaxWorkers);
  // Hosts learned from device tables are named and pinged once every device is
  // done, side by side, instead of one after another inside the merges.
  DeviceTableHosts learned;
  RunWorkerBatch<MibJob>(
      threads, hosts.size(),
      [&hosts](MibJob& job, std::uint64_t index, int /*slot*/) {
        job.HostText = hosts[static_cast<std::size_t>(index)];
        job.Values.RemoveAll();
      },
      [&](MibJob& job) { IdentifyDevice(job, table, probes, out); },
      [&](MibJob& job, MergeWhen when) { MergeSlot(job, when, config, probes, out, learned); });
  CompleteDeviceTableHosts(learned, probes, out, threads);
}

}  // namespace ordalen
