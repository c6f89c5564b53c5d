// What the SNMP queries authenticate with, as the settings give it: the
// community of SNMPv1 and v2c, and the SNMPv3 accounts. The queries take it
// from their caller, never from the process's settings.
#pragma once

#include <string>

#include "app/mib_accounts.h"
#include "app/settings.h"

namespace ordalen {

struct SnmpCredentials {
  std::string community;  // SNMPv1 and v2c
  // SNMPv3: a device's account is chosen by its address. Not owned: the table
  // (the settings', as a rule) outlives every query made with it.
  const MibAccountTable& accounts;
};

// The community and SNMPv3 accounts of `config`, which outlives the result.
inline SnmpCredentials CredentialsOf(const SCANCONFIG& config) {
  return {config.community, config.mibAccounts};
}

}  // namespace ordalen
