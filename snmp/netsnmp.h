// The SNMP library's headers, in the order they must come; included only by the
// snmp/ sources that call the library.
#pragma once

// clang-format off
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/library/large_fd_set.h>
// clang-format on
