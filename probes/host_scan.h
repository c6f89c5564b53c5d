// The host scan: TCP ports, NetBIOS node status and WMI name of every stored host.
#pragma once

namespace ordalen {

int HostScan();

}  // namespace ordalen
