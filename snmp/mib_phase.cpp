#include "snmp/mib_phase.h"

namespace ordalen {

int RunMibPhase() { return 1; }

}  // namespace ordalen
