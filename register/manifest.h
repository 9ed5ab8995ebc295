// The native-messaging host manifest: what it holds, how it is read, and the
// checks the browsers make before they start the host it names.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/system.h"
#include "readers/url_pattern.h"

namespace tarnwick::registration {

// The name the extension connects to; also the manifest's file name, with
// ".json".
inline constexpr std::string_view kHostName = "com.tarnwick.host";

// Manifests and policy files larger than this are not read, and the doctor
// says so instead of a verdict. The browsers set no limit and read any
// regular file whole; this one only keeps a file that grows without end
// from exhausting memory, far past any file a browser would finish reading
// either.
inline constexpr std::size_t kManifestLimit = std::size_t{1} << 32;

// "chrome-extension://<id>/" for an extension ID of 32 letters a to p, given
// bare or already in that form; nothing for anything else.
std::optional<std::string> extensionOrigin(std::string_view id);

// The manifest for the host at `hostPath` (absolute), open to `origins`, as
// strict JSON; nothing when the path cannot be written as JSON text (it is
// not valid UTF-8).
std::optional<std::string> manifestText(const std::string& hostPath,
                                        const std::vector<std::string>& origins);

// The text of a manifest (or policy) file: a regular file (a symbolic link
// to one is fine) of at most kManifestLimit bytes, opened without blocking,
// so that a FIFO or a device at its name never hangs or exhausts the reader.
os::Status readBoundedFile(const std::string& path, std::string* text);

struct Manifest {
  std::string name;
  std::string hostPath;
  // The entries of "allowed_origins" as the browser parsed them.
  std::vector<OriginPattern> patterns;
  // The extensions' origins ("chrome-extension://<id>/") that the patterns
  // allow, for display.
  std::vector<std::string> origins;
  // Every rule of the browsers that the manifest breaks, each a sentence.
  std::vector<std::string> problems;

  // Whether the extension `id` may start the host.
  bool allows(std::string_view id) const;
};

// The manifest in `text` as the browsers judge it
// (chrome/browser/extensions/api/messaging/native_messaging_host_manifest.cc):
// JSON as lenient_json.h reads it, without trailing commas; "name" of
// [a-z0-9._] (dots only between other characters) equal to `expectedName`;
// a non-empty "description"; "type" "stdio"; "path" absolute; and
// "allowed_origins" a list of URL patterns as url_pattern.h reads them, none
// of which may match every host. One entry the browser refuses refuses the
// whole manifest. Every rule broken is one entry of `problems`; `patterns`
// and `origins` are filled whatever the verdict. Which extensions it allows
// is the caller's question (`allows`).
Manifest checkManifest(std::string_view text, std::string_view expectedName);

// Whether `text` is a manifest of this host, judged by its "name" alone, so
// that a broken or stale manifest of ours is still recognised as ours.
bool isOurManifest(std::string_view text);

}  // namespace tarnwick::registration
