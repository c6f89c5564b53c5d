#include "snmp/single_device.h"

#include <cstdio>
#include <string>

#include "snmp/netsnmp_get.h"

namespace ordalen {

bool QueryOneDevice(const SCANCONFIG& config, const char* oid, const char* agent) {
  std::string result;
  NetSnmpGet(oid != nullptr ? oid : "", result, agent != nullptr ? agent : "", SnmpVersion::kV2c,
             CredentialsOf(config));
  std::fputs("result: ", stdout);
  std::fwrite(result.data(), 1, result.size(), stdout);
  std::fflush(stdout);
  return true;
}

}  // namespace ordalen
