// ARP sweep of the selected cards' subnets.
#pragma once

#include <string>
#include <string_view>

#include "probes/cards.h"

namespace ordalen {

int ArpSweep(const CardTable& cards);

// The text in upper case when it is 17 characters of ':' and hex digits, else "".
std::string ValidateMac(std::string_view text);

// Reverse lookup of a dotted address; "(unknown)" when nothing is found.
std::string LookupHostName(const std::string& ip);

}  // namespace ordalen
