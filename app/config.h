// "config.ini" and "accounts.csv": the scan settings, Windows accounts and
// SNMPv3 accounts, read once at start and logged as "Config:" lines.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace ordalen {

void LoadConfiguration();

}  // namespace ordalen
