// The MIB phase: SNMP identification of every stored host.
//
// Every host in the result store is walked (system description, marker
// counters, address/route/ARP tables) and matched against the model table,
// entry by entry, in three ways: an SNMPv1 GET through the manager path, an
// SNMPv2c and an SNMPv3 GET through the library path (snmp/README.md). What a device answers
// is merged into its record; addresses a device lists in its own ARP and
// address tables become new records when they lie in the command-line range.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/log.h"
#include "app/settings.h"
#include "base/mib_keys.h"
#include "probes/host_lookup.h"
#include "probes/ping.h"
#include "snmp/model_table.h"
#include "snmp/netsnmp_get.h"
#include "snmp/query_outcome.h"
#include "snmp/snmp_credentials.h"
#include "snmp/snmp_manager.h"

namespace ordalen {

// The context of one worker slot: the host being identified and what it answered.
struct MibJob {
  std::string HostText;  // dotted IPv4 text
  OidValueMap Values;    // OID text to value text, plus "model_name" and "firm_version"
};

// The firmware version of a model whose name matched but whose version could not be read.
inline constexpr std::string_view kNoVersionKey = "(MIB) No Key";

// What the phase asks of the network; tests give a fake. Every query reports in
// `outcome` how it ended, so that a way that stayed silent is not asked again.
// LibraryGet may run on two threads at once for one device. The hosts learnt from
// device tables are named and pinged through the ARP sweep's and the ping
// sweep's own interfaces, so one fake of each serves every phase.
class MibOps {
 public:
  virtual ~MibOps() = default;
  // The manager path's walk of one device (WalkDevice): true when it stored a
  // value and the session closed cleanly. `outcome` tells how its first request
  // ended. A walk cut at its bounds says so in a log line to `out`.
  virtual bool Walk(const std::string& agent, OidValueMap& results, QueryOutcome& outcome,
                    OutputSink& out) = 0;
  // Way A: one SNMPv1 GET of the manager path (GetDeviceValue): true when `value` was set.
  virtual bool ManagerGet(const std::string& agent, const std::string& oid, std::string& value,
                          QueryOutcome& outcome) = 0;
  // Ways B and C: one GET of the library path (NetSnmpGet) in SNMPv2c or v3,
  // which empties `value` first and writes its lines where `control` says: false
  // when no key could be made from a pass phrase of the account.
  virtual bool LibraryGet(const std::string& oid, std::string& value, const std::string& agent,
                          SnmpVersion version, QueryOutcome& outcome,
                          const NetSnmpGetControl& control) = 0;
  // The reverse lookup of device-table hosts.
  virtual HostLookup& Names() = 0;
  // The echo request of device-table hosts.
  virtual EchoOps& Echoes() = 0;
};

// The phase never runs more workers than this, whatever "Thread" says.
inline constexpr int kMibMaxWorkers = 256;

// The real queries, name lookup and echo; the queries authenticate with
// `credentials` (CredentialsOf the phase's settings), whose accounts outlive
// the result.
std::unique_ptr<MibOps> MakeSystemMibOps(const SnmpCredentials& credentials);

// Runs the phase over every host in the result store, matching each against
// `table`. Console, standard-error and log lines go to `out`, in the order one
// device after the other would write them (each device's own lines together).
void RunMibPhase(const SCANCONFIG& config, const std::vector<ModelMIB>& table, MibOps& probes,
                 OutputSink& out);

// Whether IdentifyDevice asks way C's first GET beside way B's.
enum class WaysSideBySide { kWhenWalkSilent, kNever };

// The worker: walks the job's host and identifies its model through the model
// table. Within one device, a way that got no answer at all is not asked again
// for later model entries (a walk without answer closes way A, which uses the
// same version and community), and a host that refuses the SNMP port is asked
// nothing more. Writes only the job.
//
// When the walk got no answer, the first entry's way C GET is asked at once on
// a thread of its own, beside way B's, so that a device silent to every version
// waits out one library time-out instead of two. Its lines are held back and
// written, and its answer used, when the identification comes to it, exactly
// as if it were asked only then; when the identification never comes to it (way
// B identified the device), it is stopped and leaves no line. So the log,
// standard output and error, the values and their order are those of one GET
// after the other; the thread is joined before the function returns, and at
// most two requests to the device are in flight. Without a thread to be had,
// the GET is asked in its turn.
void IdentifyDevice(MibJob& job, const std::vector<ModelMIB>& table, MibOps& probes,
                    OutputSink& out, WaysSideBySide side_by_side = WaysSideBySide::kWhenWalkSilent);

// Addresses of the records a merge created from device tables whose name and
// echo are still to be taken.
using DeviceTableHosts = std::vector<std::string>;

// The merge of a finished job into the result store (dispatching thread only).
// Device-table rows are taken only inside the settings' command-line range. A
// record it creates for a device-table row is stored at once; its reverse name
// and echo are taken right here, or, with `later`, appended there for
// CompleteDeviceTableHosts.
void MergeDeviceResults(MibJob& job, const SCANCONFIG& config, MibOps& probes, OutputSink& out,
                        DeviceTableHosts* later = nullptr);

// Takes the reverse name and one echo of each host in `hosts`, `threads` workers
// at a time, into their records (dispatching thread; the queries run on the
// workers).
void CompleteDeviceTableHosts(const DeviceTableHosts& hosts, MibOps& probes, OutputSink& out,
                              int threads);

// Whether a device's model value names the model `model` of the table: the
// value, read as the result file shows it, begins with the model name, ASCII
// letters compared without case. An empty model name matches every value.
bool ModelValueMatches(std::string_view device_value, std::string_view model);

}  // namespace ordalen
