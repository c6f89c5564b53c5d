// The manager path (snmp/README.md): the SNMPv1 walk of one device into its
// OID/value map, and a single GET. Both use the community they are given, a time-out of 500 ms and
// 3 retries. Safe to call from many workers at once.
#pragma once

#include <chrono>
#include <string>

#include "app/log.h"
#include "base/cmap.h"
#include "snmp/query_outcome.h"

namespace ordalen {

// OID text to value text, one per MIB worker; the MIB phase adds "model_name"
// and "firm_version".
using OidValueMap = CMap<std::string>;

// Bounds of one walk. An agent that keeps answering with ever larger object
// names would otherwise hold its worker, and so the scan, for as long as it
// likes: the walk ends after kWalkMaxObjects answered objects or once
// kWalkTimeBudget has passed (plus at most the time-out and retries of the
// request then under way), keeping what it stored, and logs that it was cut
// (to the walk's output sink).
// The walk asks only for the objects it keeps (plus one object per gap between
// them), so a device's answers stay far below the cap; beyond the last object
// it could keep the walk ends by itself.
inline constexpr int kWalkMaxObjects = 20000;
inline constexpr std::chrono::seconds kWalkTimeBudget{60};

struct WalkLimits {
  int max_objects = kWalkMaxObjects;
  std::chrono::milliseconds time_budget = kWalkTimeBudget;
};

// Walks `agent` with `community` from "system.sysDescr.0" onward and keeps the system description,
// the two printer marker counters, and the rows of the address table and of the
// ARP table's physical-address column in `results` (an existing entry is
// replaced). The walk asks only for those parts of the view: once it leaves one,
// its next GET-NEXT starts just before the next, and it ends after the last.
// Returns 0 when the session closed cleanly and at least one value was stored,
// 1 otherwise. `outcome`, when given, tells how the first request ended (a host
// that refuses the port is told at once, without waiting out the time-outs).
// Its only lines, those of a walk cut at its bounds, go to `out` as log lines.
int WalkDevice(const std::string& agent, const std::string& community, OidValueMap& results,
               OutputSink& out, const WalkLimits& limits = WalkLimits{},
               QueryOutcome* outcome = nullptr);

// Reads `oid` (a model-table OID text) from `agent` with one GET with `community`.
// Returns 0 when a value was set into `value` and the session closed cleanly, 1
// otherwise (`value` is then left as it was). `outcome`, when given, tells how the
// GET ended. Writes no line.
int GetDeviceValue(const std::string& agent, const std::string& community, const std::string& oid,
                   std::string& value, QueryOutcome* outcome = nullptr);

}  // namespace ordalen
