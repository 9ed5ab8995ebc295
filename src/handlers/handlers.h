// The actions behind the request types. Each runs its whole effect before it
// returns, never changes the message, and reports failure only as false.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "host/json_codec.h"
#include "host/message.h"
#include "platform/platform.h"

namespace tarnwick {

// The browsers whose status is recorded, by the names the extension sends.
inline constexpr std::array<std::string_view, 5> allowedBrowsers{"chrome", "edge", "chromium",
                                                                 "brave", "vivaldi"};

// The desktop application's directory under the user's home directory, or
// nothing when the platform knows no usable home directory.
std::optional<std::string> supportDirectory(Platform& platform);

// Records that the browser named by the string field "browser" was heard
// from, in BrowserStatus/<browser>.json under the support directory:
// {"browser":...,"lastSeen":<seconds since 1970>}. True when the file was
// written, and also when the message names none of `allowedBrowsers` so there
// was nothing to record; false when a step of the platform failed.
bool recordBrowserStatus(Platform& platform, const MessageObject& message);

// Hands a capture to the desktop application: "url" (required, a string),
// with "filename" and "referrer" when they are non-empty strings and a fresh
// "nonce", written whole to capture-request.json in the support directory.
// Without a string "url" nothing at all happens and the result is false.
// Otherwise the browser status is recorded first (its outcome ignored), and
// the result says whether the file was written.
bool writeCaptureRequest(Platform& platform, const MessageObject& message);

// Asks the desktop to open "tarnwick://open" with the application that
// handles the scheme. The outcome of the hand-over is not known: always true.
bool activateApplication(Platform& platform);

}  // namespace tarnwick
