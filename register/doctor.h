// Why a browser would or would not start the host: the manifest it would
// use, the checks it makes on it (policy.h, manifest.h), a live run of the
// host started the way the browser starts it (self_test.h), and the advice
// of the system around it (gatekeeper.h).
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "gatekeeper.h"
#include "locations.h"
#include "policy.h"
#include "self_test.h"

namespace tarnwick::registration {

struct Examination {
  std::vector<std::string> problems;  // each says what is wrong and what to do
  std::vector<std::string> notes;     // what was looked at and passed
  std::vector<std::string> contract;  // the host's own contract, apart from the verdict
  // What lets someone other than root redirect every user's browser: a
  // system-wide manifest, or a directory above it, that another may write.
  std::vector<std::string> security;
  bool healthy() const { return problems.empty(); }
};

// Examines the manifest file at `file` as the browsers would for each of
// the extensions `extensionIds` (32 letters a-p), then runs the self-test as
// each of them that it allows. A system-wide manifest, its host and their
// directories must be usable by every user; under `root` (another system's
// "/", or "" for this one's) the directories above it are not judged.
Examination examineManifest(const std::string& file, bool systemWide, const std::string& root,
                            const std::vector<std::string>& extensionIds);

// Where a browser looks for the manifest, and what it finds: its per-user
// places (unless `userLevelHosts` is false, when a manifest there is
// ignored), then every user's, then a fallback that only some read. It uses
// the first manifest that `exists` and never falls back from it, whatever
// is wrong with it; the ones behind it are hidden.
struct Lookup {
  struct Place {
    std::string directory;
    bool systemWide;  // judged by every user's rules
  };
  std::vector<Place> searched;       // in the browser's order
  std::optional<Place> used;         // the first place with a manifest
  std::vector<std::string> hidden;   // manifests behind the one used
  std::vector<std::string> ignored;  // per-user manifests the policy turns off
};
Lookup lookUp(const Browser& browser, bool userLevelHosts,
              const std::function<bool(const std::string& file)>& exists);

// Follows `browser`'s own lookup (policy, per-user, system-wide, fallback)
// to the manifest it would use and examines it for `extensionIds`;
// `context` locates sandboxed installations.
Examination examineBrowser(const Browser& browser, const PathContext& context,
                           const std::vector<std::string>& extensionIds);

// Whether `browser` is on this machine: its configuration directory, its
// program or a sandboxed package of it.
bool isInstalled(const Browser& browser, const PathContext& context);

}  // namespace tarnwick::registration
