// The managed policies that decide whether a browser may start the host, read
// as the browser reads them.
#pragma once

#include <string>
#include <vector>

#include "locations.h"

namespace tarnwick::registration {

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

}  // namespace tarnwick::registration
