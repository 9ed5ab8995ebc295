#include "policy.h"

#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>

#include "manifest.h"
#include "platform/system.h"
#include "readers/lenient_json.h"
#include "readers/property_list.h"

namespace tarnwick::registration {
namespace {

// Every policy file of `directory`, in the order the browser applies them:
// each entry that is not a directory, hidden files and names without
// ".json" included, links followed, sorted by name
// (components/policy/core/common/config_dir_policy_loader.cc).
std::vector<std::string> policyFilesIn(const std::string& directory) {
  std::vector<std::string> files;
  std::vector<std::string> names;
  if (!os::listDirectory(directory, &names).ok()) return files;
  for (const std::string& name : names) {
    os::FileInfo info;
    const std::string file = directory + "/" + name;
    if (!os::fileInfo(file, &info).ok() || info.type != os::FileType::Directory) {
      files.push_back(file);
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

bool listHolds(const nlohmann::json& list, std::string_view value) {
  if (!list.is_array()) return false;
  return std::any_of(list.begin(), list.end(), [&](const nlohmann::json& entry) {
    return entry.is_string() && entry.get<std::string>() == value;
  });
}

// The policies that decide whether the host may start. The browser honours
// them only as mandatory policy: it asks IsManagedPreference of each
// (chrome/browser/extensions/api/messaging/chrome_messaging_delegate.cc), so
// a recommended value (Linux's policies/recommended, a macOS preference the
// administrator has not forced) is never read here.
const char* const kPolicyNames[] = {"NativeMessagingUserLevelHosts", "NativeMessagingBlocklist",
                                    "NativeMessagingAllowlist"};

// For each policy, the value that decides it and the file it came from.
using Decided = std::map<std::string, std::pair<nlohmann::json, std::string>>;

void take(const nlohmann::json& document, const std::string& file, Decided& decided) {
  if (!document.is_object()) return;
  for (const char* name : kPolicyNames) {
    if (const auto value = document.find(name); value != document.end()) {
      decided[name] = {*value, file};
    }
  }
}

// A value of the wrong type counts as not set, as the policy schema drops it.
Policy judge(const Decided& decided) {
  Policy policy;
  const auto value = [&](const char* name) -> const nlohmann::json* {
    const auto found = decided.find(name);
    return found == decided.end() ? nullptr : &found->second.first;
  };
  const auto source = [&](const char* name) { return decided.at(name).second; };
  if (const nlohmann::json* userLevel = value("NativeMessagingUserLevelHosts");
      userLevel != nullptr && userLevel->is_boolean() && !userLevel->get<bool>()) {
    policy.userLevelHosts = false;
    policy.sources.push_back(source("NativeMessagingUserLevelHosts"));
  }
  const nlohmann::json* blocklist = value("NativeMessagingBlocklist");
  const nlohmann::json* allowlist = value("NativeMessagingAllowlist");
  const bool blocked =
      blocklist != nullptr && (listHolds(*blocklist, kHostName) || listHolds(*blocklist, "*"));
  const bool allowed = allowlist != nullptr && listHolds(*allowlist, kHostName);
  if (blocked && !allowed) {
    policy.blocked = true;
    const std::string file = source("NativeMessagingBlocklist");
    if (std::find(policy.sources.begin(), policy.sources.end(), file) == policy.sources.end()) {
      policy.sources.push_back(file);
    }
  }
  return policy;
}

}  // namespace

// Each file is read as the browser reads policy files (lenient JSON with
// trailing commas; one that does not parse, or is not an object, is
// skipped), and for each policy the last file in sorted order that sets it
// decides: files are not merged value by value
// (components/policy/core/common/config_dir_policy_loader.cc).
Policy readPolicy(const std::string& directory) {
  Decided decided;
  if (directory.empty()) return {};
  Policy blocking;
  for (const std::string& file : policyFilesIn(directory)) {
    // The browser reads each file with a blocking read: on a FIFO that no
    // one writes it waits for ever, and its policies never load.
    os::FileInfo info;
    if (os::fileInfo(file, &info).ok() && info.type == os::FileType::Fifo) {
      blocking.blocking.push_back(file);
      continue;
    }
    std::string text;
    if (!readBoundedFile(file, &text).ok()) continue;
    if (const std::optional<nlohmann::json> json = readLenientJson(text, TrailingCommas::Allowed)) {
      take(*json, file, decided);
    }
  }
  Policy policy = judge(decided);
  policy.blocking = std::move(blocking.blocking);
  return policy;
}

// The browser reads its policies through CFPreferences, whose forced values
// are the managed preferences an administrator's profile installs, for the
// machine and for each user; for one key the user's come first, as
// CFPreferences searches the current user before any user
// (components/policy/core/common/policy_loader_mac.mm: a forced value is
// mandatory policy, any other recommended). Keys are merged across the two
// files, as CFPreferences merges its sources.
Policy readManagedPreferences(const std::string& domain, const PathContext& context,
                              std::vector<std::string>* unread) {
  const std::string managed = context.root + "/Library/Managed Preferences/";
  std::vector<std::string> files{managed + domain + ".plist"};
  if (!context.user.empty() && context.user.find('/') == std::string::npos) {
    files.push_back(managed + context.user + "/" + domain + ".plist");
  }
  Decided decided;
  for (const std::string& file : files) {
    nlohmann::json document;
    const os::Status read = readPropertyList(file, context.root, &document);
    if (read.ok()) {
      take(document, file, decided);
    } else if (!read.notFound()) {
      unread->push_back(file + ": " + read.message());
    }
  }
  return judge(decided);
}

}  // namespace tarnwick::registration
