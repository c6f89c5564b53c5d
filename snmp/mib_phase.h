// The MIB phase: SNMP identification of every stored host.
#pragma once

namespace ordalen {

int RunMibPhase();

}  // namespace ordalen
