#include "probes/ping.h"

namespace ordalen {

int PingSweep(std::uint32_t /*first*/, std::uint32_t /*last*/) { return 1; }

int PingHost(std::uint32_t /*address*/, int& ttl) {
  ttl = 0;
  return 0;
}

int TtlToOsType(int ttl) {
  if (ttl <= 0) return 0;
  if (ttl <= 64) return 3;
  if (ttl <= 128) return 1;
  return 4;
}

}  // namespace ordalen
