#include "app/settings.h"

namespace ordalen {

SCANCONFIG& ScanConfig() {
  static SCANCONFIG config;
  return config;
}

}  // namespace ordalen
