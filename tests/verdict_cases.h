// Policies and manifests whose effect on the browser is known, as one table
// for two checks: tests/register_test.cpp holds the doctor's rules to it in
// process, and tests/browser_test.cpp lays every case out for the real
// Chromium and checks that the browser still does what the table says (and
// that the doctor agrees).
#pragma once

#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

namespace tarnwick::testing {

// Managed policy files by their names in the managed directory
// ("../recommended/NAME" for a recommended one), and what they decide.
struct PolicyCase {
  std::string name;
  std::vector<std::pair<std::string, std::string>> files;  // name, text
  bool userLevelHosts;                                     // per-user manifests are read
  bool blocked;                                            // this host may not start
};

inline std::vector<PolicyCase> policyCases() {
  const std::string off = R"({"NativeMessagingUserLevelHosts": false})";
  const std::string blockAll = R"({"NativeMessagingBlocklist": ["*"]})";
  const std::string blockThenAllow =
      R"({"NativeMessagingBlocklist":["*"],"NativeMessagingAllowlist":["com.tarnwick.host"]})";
  return {
      {"user-level hosts off", {{"p.json", off}}, false, false},
      {"user-level hosts off only as a string, which is no boolean",
       {{"p.json", R"({"NativeMessagingUserLevelHosts": "false"})"}},
       true,
       false},
      {"user-level hosts off, in a file without .json", {{"policy", off}}, false, false},
      {"user-level hosts off, with a comment and a trailing comma",
       {{"p.json", "{\"NativeMessagingUserLevelHosts\": false, // off\n}"}},
       false,
       false},
      {"user-level hosts off, in a 127 KB file",
       {{"p.json", R"({"URLBlocklist": [")" + std::string(127000, 'u') +
                       R"("], "NativeMessagingUserLevelHosts": false})"}},
       false,
       false},
      {"every host blocked", {{"p.json", blockAll}}, true, true},
      {"this host blocked",
       {{"p.json", R"({"NativeMessagingBlocklist": ["com.tarnwick.host"]})"}},
       true,
       true},
      {"every host blocked, this one allowed", {{"p.json", blockThenAllow}}, true, false},
      {"the last file decides a policy, not a merge: blocked",
       {{"a.json", blockThenAllow}, {"z.json", R"({"NativeMessagingAllowlist":[]})"}},
       true,
       true},
      {"the last file decides a policy, not a merge: allowed",
       {{"a.json", R"({"NativeMessagingAllowlist":[]})"}, {"z.json", blockThenAllow}},
       true,
       false},
      // Only a managed value counts for native messaging.
      {"user-level hosts off, only recommended", {{"../recommended/p.json", off}}, true, false},
      {"every host blocked, only recommended", {{"../recommended/p.json", blockAll}}, true, false},
      {"every host blocked, the allowlist entry only recommended",
       {{"p.json", blockAll},
        {"../recommended/p.json", R"({"NativeMessagingAllowlist": ["com.tarnwick.host"]})"}},
       true,
       true},
  };
}

// A manifest, and whether the browser lets the extension start the host it
// names; for one it refuses, a part of the one problem the doctor names.
struct ManifestCase {
  std::string name;
  std::string text;
  bool allowed;
  std::string said;
};

// The cases for the host at `path` (absolute) and the extension `id`.
inline std::vector<ManifestCase> manifestCases(const std::string& path, const std::string& id) {
  const auto manifest = [&](const std::function<void(nlohmann::json&)>& change = {}) {
    nlohmann::json text{{"name", "com.tarnwick.host"},
                        {"description", "Tarnwick"},
                        {"path", path},
                        {"type", "stdio"},
                        {"allowed_origins", {"chrome-extension://" + id + "/"}}};
    if (change) change(text);
    return text.dump(2);
  };
  const std::string good = manifest();
  std::string upperId = id;
  for (char& c : upperId) c = static_cast<char>(c - 'a' + 'A');
  const auto named = [&](const char* name) {
    return manifest([=](nlohmann::json& m) { m["name"] = name; });
  };
  return {
      {"as registered", good, true, ""},
      {"with comments", "// by hand\n" + good + " /* end */", true, ""},
      {"past 64 KiB", manifest([](nlohmann::json& m) { m["padding"] = std::string(70000, 'p'); }),
       true, ""},
      {"an upper-case extension ID", manifest([&](nlohmann::json& m) {
         m["allowed_origins"] = {"chrome-extension://" + upperId + "/"};
       }),
       true, ""},
      {"repeated keys, the last good",
       "{\"path\": \"/nowhere\", " + good.substr(good.find('{') + 1), true, ""},
      {"repeated keys, the last bad", good.substr(0, good.rfind('}')) + ", \"type\": \"socket\"}",
       false, "\"type\" must be"},
      {"a trailing comma", good.substr(0, good.rfind('}')) + ",}", false, "not valid JSON"},
      {"a wildcard origin",
       manifest([](nlohmann::json& m) { m["allowed_origins"] = {"chrome-extension://*/"}; }), false,
       "allowed_origins"},
      {"one origin without its slash, beside a good one", manifest([&](nlohmann::json& m) {
         m["allowed_origins"].push_back("chrome-extension://ponmlkjihgfedcbaponmlkjihgfedcba");
       }),
       false, "allowed_origins"},
      {"a name that is not the file's", named("com.tarnwick.other"), false, "\"name\""},
      {"a name in upper case", named("Com.tarnwick.host"), false, "\"name\" must be"},
      {"a name with two dots in a row", named("com..tarnwick"), false, "\"name\" must be"},
      {"a name with a leading dot", named(".com.tarnwick.host"), false, "\"name\" must be"},
      {"a name with a trailing dot", named("com.tarnwick.host."), false, "\"name\" must be"},
      {"an empty description", manifest([](nlohmann::json& m) { m["description"] = ""; }), false,
       "\"description\""},
      {"a relative path", manifest([](nlohmann::json& m) { m["path"] = "tarnwick-host"; }), false,
       "\"path\""},
  };
}

}  // namespace tarnwick::testing
