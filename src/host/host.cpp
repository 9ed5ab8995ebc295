#include "host/host.h"

#include <string_view>

#include "handlers/handlers.h"
#include "host/framing.h"

namespace tarnwick {
namespace {

bool handlePing(Platform& platform, Codec& codec, const MessageObject& message) {
  return recordBrowserStatus(platform, codec, message);
}

bool handleOpen(Platform& platform, Codec& codec, const MessageObject& message) {
  recordBrowserStatus(platform, codec, message);  // its outcome never reaches the reply
  return activateApplication(platform);
}

struct Route {
  std::string_view type;
  bool (*handle)(Platform&, Codec&, const MessageObject&);
};

constexpr Route kRoutes[] = {
    {"ping", handlePing},
    {"open", handleOpen},
    {"capture", writeCaptureRequest},
};

bool answer(Platform& platform, Codec& codec, std::string body) {
  try {
    const std::optional<MessageObject> message = codec.decode(std::move(body));
    return message && handleMessage(platform, codec, *message);
  } catch (...) {
    // Handlers report failure as false; only exhausted memory lands here, and
    // it is a failed request like any other.
    return false;
  }
}

}  // namespace

bool handleMessage(Platform& platform, Codec& codec, const MessageObject& message) {
  const std::optional<std::string_view> type = stringField(message, "type");
  if (!type) return false;
  for (const Route& route : kRoutes) {
    if (*type == route.type) return route.handle(platform, codec, message);
  }
  return false;
}

void runHost(Platform& platform, Codec& codec) {
  while (true) {
    std::optional<std::string> body = readMessage(platform);
    if (!body) return;
    // Once standard output is gone no reply can reach the browser, so there
    // is no point in serving further requests.
    if (!sendReply(platform, codec, answer(platform, codec, std::move(*body)))) return;
  }
}

}  // namespace tarnwick
