#include "host/host.h"

#include <string_view>

#include "handlers/handlers.h"
#include "host/framing.h"
#include "host/json_codec.h"

namespace tarnwick {
namespace {

bool handlePing(Platform& platform, const MessageObject& message) {
  return recordBrowserStatus(platform, message);
}

bool handleOpen(Platform& platform, const MessageObject& message) {
  recordBrowserStatus(platform, message);  // its outcome never reaches the reply
  return activateApplication(platform);
}

struct Route {
  std::string_view type;
  bool (*handle)(Platform&, const MessageObject&);
};

constexpr Route kRoutes[] = {
    {"ping", handlePing},
    {"open", handleOpen},
    {"capture", writeCaptureRequest},
};

bool answer(Platform& platform, std::string body) {
  try {
    const std::optional<MessageObject> message = decodeRequest(std::move(body));
    return message && handleMessage(platform, *message);
  } catch (...) {
    // Handlers report failure as false; only exhausted memory lands here, and
    // it is a failed request like any other.
    return false;
  }
}

}  // namespace

bool handleMessage(Platform& platform, const MessageObject& message) {
  const std::optional<std::string_view> type = stringField(message, "type");
  if (!type) return false;
  for (const Route& route : kRoutes) {
    if (*type == route.type) return route.handle(platform, message);
  }
  return false;
}

void runHost(Platform& platform) {
  while (true) {
    std::optional<std::string> body = readMessage(platform);
    if (!body) return;
    // Once standard output is gone no reply can reach the browser, so there
    // is no point in serving further requests.
    if (!sendReply(platform, answer(platform, std::move(*body)))) return;
  }
}

}  // namespace tarnwick
