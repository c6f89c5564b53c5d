#include "snmp/single_device.h"

#include <cstdio>

namespace ordalen {

bool QueryOneDevice(const char* /*oid*/, const char* /*agent*/) {
  std::printf("result: ");
  return true;
}

}  // namespace ordalen
