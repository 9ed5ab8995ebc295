// Why a browser would or would not start the host: the manifest it would
// use, the checks it makes on it, and a live run of the host started the
// way the browser starts it.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "locations.h"

namespace tarnwick::registration {

// Runs the host at `host` as the browser does for the extension at
// `origin`: the origin as its only argument, its own directory as the
// working directory, pipes for standard input and output, the environment
// of a browser started from the desktop with PATH=/usr/bin:/bin, and a file
// without "#!" run by /bin/sh, as execvp runs one that fails with ENOEXEC
// (base/process/launch_posix.cc). It sends {"type":"ping"} and watches what
// comes back.
struct SelfTest {
  // Why the browser would get no reply: the host could not be started, it
  // ended or hung without sending a whole message, or the message was
  // longer than the browser takes (1 MiB, native_message_process_host.cc).
  // Empty when the extension would get a reply.
  std::vector<std::string> browserFailures;
  // What the host breaks of its own contract, which the browser does not
  // check: exactly {"ok":true} within 2 s, nothing on standard error,
  // nothing after the reply, exit status 0 within 2 s of its input
  // closing, and nothing left running after it.
  std::vector<std::string> contractBreaches;
};
SelfTest selfTest(const std::string& host, const std::string& origin);

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

// What the managed policies in `directory` say about this host.
struct Policy {
  bool userLevelHosts = true;        // NativeMessagingUserLevelHosts
  bool blocked = false;              // by NativeMessagingBlocklist, not lifted by the allowlist
  std::vector<std::string> sources;  // the policy files that said so
  // Policy files the browser would wait on for ever (a FIFO with no
  // writer), so that it never gets as far as starting a host.
  std::vector<std::string> blocking;
};
Policy readPolicy(const std::string& directory);

// What the managed preferences of the macOS preference domain `domain` say
// about this host: the machine's (/Library/Managed Preferences/DOMAIN.plist)
// and the user's (/Library/Managed Preferences/USER/DOMAIN.plist, which wins
// for a key that both set), under the context's root. A file that is there
// but cannot be read is added to `unread`, with why.
Policy readManagedPreferences(const std::string& domain, const PathContext& context,
                              std::vector<std::string>* unread);

// Follows `browser`'s own lookup (policy, per-user, system-wide, fallback)
// to the manifest it would use and examines it for `extensionIds`;
// `context` locates sandboxed installations.
Examination examineBrowser(const Browser& browser, const PathContext& context,
                           const std::vector<std::string>& extensionIds);

// Whether `browser` is on this machine: its configuration directory, its
// program or a sandboxed package of it.
bool isInstalled(const Browser& browser, const PathContext& context);

// Problems of a macOS host path that would keep it from running: one inside
// an App Translocation mount.
std::vector<std::string> gatekeeperProblems(const std::string& host);

// A warning for a macOS host that is quarantined and not approved, which
// Gatekeeper blocks unless it is notarized; nothing for any other.
std::optional<std::string> quarantineWarning(const std::string& host);

// What the com.apple.quarantine attribute ("flags;time;agent;id", the flags
// in hexadecimal) says: no attribute, a download the user has approved (the
// flag 0x0040, which Gatekeeper sets when the user opens it and keeps), or
// one that Gatekeeper still holds back. An attribute that cannot be read is
// held back.
enum class Quarantine { None, Approved, HeldBack };
Quarantine quarantineOf(const std::optional<std::string>& attribute);

// For a host inside a versioned Homebrew keg (".../Cellar/NAME/VERSION/..."),
// which the next upgrade deletes, the same path through the formula's "opt"
// link, which upgrades keep; nothing for any other path.
std::optional<std::string> upgradeProofPath(const std::string& host);

}  // namespace tarnwick::registration
