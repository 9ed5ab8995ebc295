#include "handlers/handlers.h"

namespace tarnwick {

bool activateApplication(Platform& platform) {
  platform.openUrl("tarnwick://open");
  return true;
}

}  // namespace tarnwick
