#include "handlers/handlers.h"

namespace tarnwick {

// The request types are recognised but not served yet.
bool recordBrowserStatus(Platform&, const MessageObject&) { return false; }
bool writeCaptureRequest(Platform&, const MessageObject&) { return false; }
bool activateApplication(Platform&) { return false; }

}  // namespace tarnwick
