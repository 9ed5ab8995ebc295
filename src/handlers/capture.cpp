#include "handlers/handlers.h"

namespace tarnwick {
namespace {

void addIfNonEmpty(JsonObject& request, const MessageObject& message, std::string_view key) {
  const std::optional<std::string_view> value = stringField(message, key);
  if (value && !value->empty()) request.emplace_back(key, *value);
}

}  // namespace

bool writeCaptureRequest(Platform& platform, const MessageObject& message) {
  const std::optional<std::string_view> url = stringField(message, "url");
  if (!url) return false;
  recordBrowserStatus(platform, message);  // its outcome never changes the capture's

  // A capture without an unpredictable nonce cannot be told apart from a
  // replayed one, so none is written.
  const std::optional<std::string> nonce = platform.newIdentifier();
  if (!nonce) return false;
  JsonObject request{{"url", *url}, {"nonce", std::string_view(*nonce)}};
  addIfNonEmpty(request, message, "filename");
  addIfNonEmpty(request, message, "referrer");

  const std::optional<std::string> support = supportDirectory(platform);
  if (!support) return false;
  // A failure here is not final: the write below decides.
  platform.createDirectory(*support);
  const std::optional<std::string> text = encodeObject(request, KeyOrder::AsGiven);
  if (!text) return false;
  return platform.writeFileAtomically(joinPath(*support, "capture-request.json"), *text);
}

}  // namespace tarnwick
