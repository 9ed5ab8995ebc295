// The actions behind the request types. Each runs its whole effect before it
// returns, never changes the message, and reports failure only as false.
#pragma once

#include "platform/platform.h"

namespace tarnwick {

// "ping", and on the way for "open" and "capture".
bool recordBrowserStatus(Platform& platform, const MessageObject& message);

// "capture".
bool writeCaptureRequest(Platform& platform, const MessageObject& message);

// "open", after the browser status has been recorded.
bool activateApplication(Platform& platform);

}  // namespace tarnwick
