// The library path (snmp/README.md): one GET of one OID, in version 1, 2c or 3,
// with a fixed sequence of scan-log lines per call. Safe to call from many
// workers at once.
#pragma once

#include <stop_token>
#include <string>

#include "app/log.h"
#include "snmp/query_outcome.h"
#include "snmp/snmp_credentials.h"
#include "snmp/snmp_version.h"

namespace ordalen {

// How a GET may run beside other work. The default writes its lines to the scan
// log and the process's streams as they come and waits for its answer to the end.
struct NetSnmpGetControl {
  // Where the GET's log, console and standard-error lines go; nullptr: straight
  // out (ProcessOutput()). Through any other sink, the library's own report of a
  // failed request (which it would print to standard error itself) is handed
  // over as the text it prints.
  OutputSink* out = nullptr;
  // Once a stop is requested, the GET gives up waiting for its answer and ends
  // as a request that failed ("%s|Error [%d]%s", outcome kNotAsked).
  std::stop_token stop;
};

// Reads `oid_text` from `agent` in `version`: SNMPv3 with the account that
// `credentials` choose for `agent`, at its level (without one, noAuth and no user
// name); SNMPv1 and v2c with their community. `value` is emptied first and holds
// the rendered answer when there was one. Returns -1 when a key cannot be made
// from a pass phrase of the account, 0 in every other case. `outcome`, when
// given, tells how the GET ended.
int NetSnmpGet(const std::string& oid_text, std::string& value, const std::string& agent,
               SnmpVersion version, const SnmpCredentials& credentials,
               QueryOutcome* outcome = nullptr, const NetSnmpGetControl& control = {});

}  // namespace ordalen
