// The host's life: read a frame, decode it, dispatch it by its "type", reply,
// and again, until the input ends or a frame's length is refused.
#pragma once

#include "host/json_codec.h"
#include "host/message.h"
#include "platform/platform.h"

namespace tarnwick {

// Serves frames from standard input until the session ends. Every frame read
// whole gets exactly one reply, written before the next frame is read.
void runHost(Platform& platform);

// The ok flag for one request: the outcome of the handler that its string
// field "type" names exactly ("ping", "open" or "capture"), or false, with no
// handler run, for any other or missing type.
bool handleMessage(Platform& platform, const MessageObject& message);

}  // namespace tarnwick
