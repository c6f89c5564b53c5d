#include "probes/wmi.h"

namespace ordalen {

struct WmiSession {};

WmiConnection::WmiConnection() = default;
WmiConnection::~WmiConnection() = default;
WmiConnection::WmiConnection(WmiConnection&&) noexcept = default;
WmiConnection& WmiConnection::operator=(WmiConnection&&) noexcept = default;

// Placeholder until the management client lands: no connection is ever made.
int WmiConnect(WmiConnection& connection, const std::string&, const std::string&, const std::string&) {
  connection.LastError = -1;
  connection.LastErrorText = "not available";
  return 0;
}

int WmiQueryComputerName(WmiConnection&, std::string&) { return 0; }

void WmiRelease(WmiConnection& connection) { connection.Services.reset(); }

}  // namespace ordalen
