#include "gatekeeper.h"

#include "platform/operating_system.h"
#include "platform/system.h"

namespace tarnwick::registration {

std::vector<std::string> gatekeeperProblems(const std::string& host) {
  std::vector<std::string> problems;
  if (host.find("/AppTranslocation/") != std::string::npos) {
    problems.push_back("the host " + host +
                       " runs from a randomised App Translocation copy, which moves on every "
                       "launch: move the Tarnwick app to /Applications, open it once, and "
                       "register again");
  }
  return problems;
}

// Gatekeeper lets a quarantined program run without the user's approval
// only when it is notarized, which the self-test that follows finds out.
std::optional<std::string> quarantineWarning(const std::string& host) {
  if (currentSystem() != System::MacOs ||
      quarantineOf(os::extendedAttribute(host, "com.apple.quarantine")) != Quarantine::HeldBack) {
    return std::nullopt;
  }
  return "warning: the host " + host +
         " is quarantined and not approved (com.apple.quarantine): macOS blocks it unless it is "
         "notarized; if the self-test fails, open the Tarnwick app once and allow it, or run "
         "xattr -d com.apple.quarantine '" +
         host + "'";
}

// The user-approved flag is the one Apple's own code checks
// (Security: OSX/libsecurity_utilities/lib/unix++.cpp, isUserApproved).
Quarantine quarantineOf(const std::optional<std::string>& attribute) {
  constexpr unsigned long kUserApproved = 0x0040;
  if (!attribute) return Quarantine::None;
  const std::string flags = attribute->substr(0, attribute->find(';'));
  if (flags.empty() || flags.size() > 8 ||
      flags.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
    return Quarantine::HeldBack;
  }
  return (std::stoul(flags, nullptr, 16) & kUserApproved) != 0 ? Quarantine::Approved
                                                               : Quarantine::HeldBack;
}

std::optional<std::string> upgradeProofPath(const std::string& host) {
  const std::size_t cellar = host.find("/Cellar/");
  if (cellar == std::string::npos) return std::nullopt;
  const std::size_t name = cellar + 8;
  const std::size_t version = host.find('/', name);
  if (version == std::string::npos || version == name) return std::nullopt;
  const std::size_t rest = host.find('/', version + 1);
  if (rest == std::string::npos || rest == version + 1) return std::nullopt;
  return host.substr(0, cellar) + "/opt/" + host.substr(name, version - name) + host.substr(rest);
}

}  // namespace tarnwick::registration
