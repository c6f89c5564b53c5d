// How one SNMP query ended, as far as the next query to the same device cares.
#pragma once

namespace ordalen {

enum class QueryOutcome {
  kAnswered,    // the device answered: a value, an error status, noSuchObject, ...
  kTimedOut,    // no answer at all, through every retry
  kPortClosed,  // the host refused the SNMP port (ICMP port unreachable): no agent listens
  kNotAsked,    // nothing reached the wire: the query could not be prepared or sent
};

}  // namespace ordalen
