#include "app/config.h"

namespace ordalen {

void LoadConfiguration() {}

}  // namespace ordalen
