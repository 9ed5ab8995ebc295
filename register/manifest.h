// The native-messaging host manifest: what it holds, and how it is checked.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick::registration {

// The name the extension connects to; also the manifest's file name, with
// ".json".
inline constexpr std::string_view kHostName = "com.tarnwick.host";

// "chrome-extension://<id>/" for an extension ID of 32 letters a to p, given
// bare or already in that form; nothing for anything else.
std::optional<std::string> extensionOrigin(std::string_view id);

// The manifest for the host at `hostPath` (absolute), open to `origins`, as
// strict JSON; nothing when the path cannot be written as JSON text (it is
// not valid UTF-8).
std::optional<std::string> manifestText(const std::string& hostPath,
                                        const std::vector<std::string>& origins);

struct Registration {
  std::string hostPath;
  std::vector<std::string> origins;
};

// The registration a manifest file describes, or nothing when the file is
// missing, unreadable or not a manifest of this host.
std::optional<Registration> readManifest(const std::string& file);

}  // namespace tarnwick::registration
