#include "engine/result_store.h"

namespace ordalen {

ResultMap& Results() {
  static ResultMap map;
  return map;
}

SCANRESULT* FindHost(std::string_view ip) {
  auto* slot = Results().Find(ip);
  return slot ? slot->get() : nullptr;
}

std::unique_ptr<SCANRESULT>& HostSlot(std::string_view ip) {
  return Results()[ip];
}

void ClearHosts() {
  Results().RemoveAll();
}

}  // namespace ordalen
