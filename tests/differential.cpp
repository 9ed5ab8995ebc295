#include "differential.h"

#include <cstdio>
#include <string>
#include <vector>

#include "util/utf8.h"

namespace tarnwick::testing {
namespace {

// SplitMix64: the same numbers from a seed on every machine and library.
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  std::size_t below(std::size_t n) { return static_cast<std::size_t>(next() % n); }
  bool chance(unsigned percent) { return below(100) < percent; }
  // Whether to break this one thing: rarely in a calm case, more often in a
  // hostile one, so that a good share of cases end with a reply and the
  // rest fail for one reason or a few.
  bool breaks() { return chance(badPercent); }
  unsigned badPercent = 0;
  template <typename T>
  const T& pick(const std::vector<T>& choices) {
    return choices[below(choices.size())];
  }

 private:
  std::uint64_t state_;
};

const std::string kOtherId = "ponmlkjihgfedcbaponmlkjihgfedcba";

std::string quoted(const std::string& text) { return nlohmann::json(text).dump(); }

// What may stand between two tokens: blanks, the comments the browser takes,
// and, rarely, ones it does not (or that swallow what follows).
std::string gap(Random& random) {
  if (random.chance(3) && random.breaks()) {
    return random.pick<std::string>({"// note\r", "/* never closed", "/ ", "# note\n", "/* */*/"});
  }
  if (!random.chance(20)) return random.pick<std::string>({"", " ", "\n  ", "\t"});
  return random.pick<std::string>({" /* note */ ", "// note\n", "/*/", "/**/", " /* **/ ", "/***/",
                                   "// note\r\n", "\n// note\n", "/* * / */"});
}

// `text` as a JSON string, some characters spelled as escapes the browser
// reads (\u, and \x, which only its dialect has).
std::string spelled(Random& random, const std::string& text) {
  if (!random.chance(15)) return quoted(text);
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80 && c != '"' && c != '\\' && random.chance(20)) {
      char escape[8];
      std::snprintf(escape, sizeof escape, random.chance(50) ? "\\u%04x" : "\\x%02X", byte);
      out += escape;
    } else if (c == '"' || c == '\\') {
      out += std::string("\\") + c;
    } else {
      out.push_back(c);
    }
  }
  return out + "\"";
}

// Full-width forms of ASCII letters, as UTF-8 or as \u escapes.
std::string fullWidth(Random& random, const std::string& text, bool escaped) {
  std::string out;
  for (const char c : text) {
    if (!random.chance(40)) {
      out.push_back(c);
      continue;
    }
    const unsigned point = 0xFF01u + static_cast<unsigned>(c - '!');
    if (escaped) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04X", point);
      out += escape;
    } else {
      appendUtf8(out, point);
    }
  }
  return out;
}

// One entry of "allowed_origins", as JSON text: the test extension's ID in
// one of many spellings, good, refused or matching nothing.
std::string originEntry(Random& random) {
  std::string id = "{id}";
  const std::string real = "eofhbabbaadhhjaccknelmlpklibecgb";
  const auto wrap = [&](const std::string& host, const std::string& path = "/") {
    return quoted("chrome-extension://" + host + path);
  };
  switch (random.below(30)) {
    case 0:
      return wrap(id, random.pick<std::string>({"/*", "/x/y", "/?q", "/#f", "//"}));
    case 1: {
      std::string upper = real;
      for (char& c : upper) {
        if (random.chance(60)) c = static_cast<char>(c - 'a' + 'A');
      }
      return wrap(upper);
    }
    case 2: {  // letters percent-encoded, in either case of letter and digit
      std::string out;
      for (const char c : real) {
        if (random.chance(25)) {
          char escape[4];
          const char letter = random.chance(30) ? static_cast<char>(c - 'a' + 'A') : c;
          std::snprintf(escape, sizeof escape, random.chance(50) ? "%%%02x" : "%%%02X",
                        static_cast<unsigned>(letter));
          out += escape;
        } else {
          out.push_back(c);
        }
      }
      return wrap(out);
    }
    case 3:
      return "\"chrome-extension://" + fullWidth(random, real, random.chance(50)) + "/\"";
    case 4:
      return wrap(id + random.pick<std::string>({".", "..", "..."}));
    case 5:
      return wrap(id + random.pick<std::string>({":*", ":80", ":", ":0", ":*:*", ":**"}));
    case 6:
      return wrap(random.pick<std::string>({"user@", "user:pass@", "@"}) + id);
    case 7:
      return wrap(id + random.pick<std::string>({"?x", "#x", "%zz", "%", "%2", "%00", " ", "%20",
                                                 "^", "|", "<", "%2F", "%2e"}));
    case 8:
      return quoted("chrome-extension://" + id + "\\/");
    case 9:
      return wrap(random.pick<std::string>({".", "-", "_", "%2e"}) + id);
    case 10:
      return wrap(random.pick<std::string>({"*", "*.{id}", "*{id}", "{id}*", "*."}));
    case 11:
      return quoted(random.pick<std::string>(
          {"<all_urls>", "*://{id}/", "chrome-extension://{id}", "Chrome-Extension://{id}/",
           "CHROME-EXTENSION://{id}/", "chrome-extension:{id}/", "chrome-extension:/{id}/",
           "chrome-extension:///", "chrome-extension://", "{id}", "", "http://{id}/",
           "chrome-extension://[::1]/", "chrome-extension://127.0.0.1/",
           "chrome-extension://999.1.1.1/", "chrome-extension://[{id}]/",
           "chrome-extension://{id}/\\u0000"}));
    case 12:
      return wrap(kOtherId);
    case 13:
      return "\"chrome-extension://" + real.substr(0, 10) + "\\u00e9" + real.substr(10) + "/\"";
    case 14:
      return spelled(random, "chrome-extension://" + real + "/");
    default:
      return wrap(id);
  }
}

std::string originsValue(Random& random) {
  switch (random.breaks() ? random.below(40) : 99) {
    case 0:
      return quoted("chrome-extension://{id}/");
    case 1:
      return "[" + quoted("chrome-extension://{id}/") + ", 1]";
    case 2:
      return "[]";
    case 3:
      return "null";
    default:
      break;
  }
  std::vector<std::string> entries;
  const std::size_t count = 1 + random.below(3);
  for (std::size_t i = 0; i < count; ++i) {
    entries.push_back(i == 0 && (!random.breaks() || random.chance(30))
                          ? quoted("chrome-extension://{id}/")
                          : originEntry(random));
  }
  std::string list = "[";
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (i > 0) list += ",";
    list += gap(random);
    list += entries[i];
  }
  if (random.chance(10) && random.breaks()) list += ",";
  return list + gap(random) + "]";
}

// A value nested `depth` levels deep (the member's own level not counted).
std::string nested(Random& random, int depth) {
  const bool arrays = random.chance(50);
  const bool filled = random.chance(50);
  std::string open, close;
  for (int i = 0; i < depth; ++i) {
    open += arrays ? "[" : "{\"a\":";
    close += arrays ? "]" : "}";
  }
  if (arrays) return open.substr(0, open.size() - 1) + (filled ? "[1]" : "[]") + close.substr(1);
  return open.substr(0, open.size() - 5) + (filled ? "{\"k\":1}" : "{}") + close.substr(1);
}

std::string manifestText(Random& random, const std::string& hostPath) {
  std::vector<std::pair<std::string, std::string>> members;
  const auto value = [&](std::vector<std::string> bad, const std::string& good) {
    return random.chance(40) && random.breaks() ? random.pick(bad) : spelled(random, good);
  };
  members.emplace_back(
      "name", value({quoted("com.tarnwick.other"), quoted("Com.tarnwick.host"),
                     quoted("com.tarnwick.host."), quoted(".com.tarnwick.host"),
                     quoted("com..tarnwick.host"), "5", quoted(""), quoted("com.tarnwick.host ")},
                    "com.tarnwick.host"));
  members.emplace_back(
      "description",
      value({quoted(""), "1", "null", "\"tab\there\"", "\"two\nlines\r\"", "\"caf\\u00e9\"",
             "\"\\ud83d\\ude00\"", "\"\\ud800\"", "\"\\udc00\"", "\"\\v\"", "\"\\x41\\xff\"",
             "\"bad \xC3\x28 byte\"", "\"\\ud800\\n\"", "\"\\q\""},
            "Tarnwick"));
  members.emplace_back("path", value({quoted("tarnwick-host"), quoted(""), "7", quoted("{bin}"),
                                      quoted("{bin}/missing"), quoted(hostPath + "/"),
                                      quoted("./host"), quoted("{bin}/../bin/host")},
                                     hostPath));
  members.emplace_back(
      "type", value({quoted("Stdio"), quoted("socket"), "null", quoted("stdio ")}, "stdio"));
  members.emplace_back("allowed_origins", originsValue(random));
  // The browser ignores what it does not know, however deep or odd.
  if (random.chance(8)) {
    members.emplace_back("deep", nested(random, random.pick<int>({197, 198, 199, 200})));
  }
  if (random.chance(5)) {
    members.emplace_back("supports_native_initiated_connections",
                         random.pick<std::string>({"true", quoted("yes")}));
  }
  if (random.chance(5))
    members.emplace_back("number", random.pick<std::string>({"1e400", "-0", "01", "1.", "1e-400",
                                                             "123456789012345678901234567890", "-",
                                                             "+1", ".5", "0x10"}));
  // A repeated key: the last one is what the browser reads.
  if (random.chance(12)) {
    const std::size_t which = random.below(members.size());
    const auto repeated = members[which];
    members.emplace_back(repeated.first, random.chance(50) ? members[which].second : "\"other\"");
    if (random.chance(50)) std::swap(members[which].second, members.back().second);
  }
  for (std::size_t i = members.size(); i > 1 && random.chance(20); --i) {
    std::swap(members[i - 1], members[random.below(i)]);
  }
  std::string text = random.chance(5) ? "\xEF\xBB\xBF" : "";
  text += gap(random) + "{";
  for (std::size_t i = 0; i < members.size(); ++i) {
    if (i > 0) text += ",";
    text += gap(random);
    text += spelled(random, members[i].first);
    text += gap(random);
    text += ":";
    text += gap(random);
    text += members[i].second;
  }
  if (random.chance(10) && random.breaks()) text += ",";
  return text + gap(random) + "}" + gap(random);
}

std::string policyText(Random& random) {
  switch (random.breaks() ? random.below(10) : 99) {
    case 0:
      return "{\"NativeMessagingUserLevelHosts\": false";  // cut short
    case 1:
      return "[]";
    case 2:
      return "";
    default:
      break;
  }
  std::vector<std::string> members;
  if (random.chance(45)) {
    members.push_back(
        "\"NativeMessagingUserLevelHosts\":" +
        random.pick<std::string>({"false", "false", "true", "\"false\"", "0", "null"}));
  }
  if (random.chance(40)) {
    members.push_back(
        "\"NativeMessagingBlocklist\":" +
        random.pick<std::string>({"[\"*\"]", "[\"{name}\"]", "[\"com.other\"]", "\"*\"", "[]",
                                  "[1, \"*\"]", "[\"*\",]", "[\"COM.TARNWICK.HOST\"]",
                                  "[\"com.tarnwick.*\"]"}));
  }
  if (random.chance(30)) {
    members.push_back("\"NativeMessagingAllowlist\":" +
                      random.pick<std::string>({"[\"{name}\"]", "[]", "[\"*\"]", "\"{name}\"",
                                                "[\"{name} \"]", "[\"other\", \"{name}\"]"}));
  }
  if (random.chance(20)) members.push_back("\"URLBlocklist\": [\"example.com\"]");
  if (random.chance(8)) members.push_back("\"Note\": \"two\nlines\"");
  std::string text = "{";
  for (std::size_t i = 0; i < members.size(); ++i) {
    if (i > 0) text += ",";
    text += gap(random);
    text += members[i];
  }
  if (random.chance(15)) text += ",";
  return text + gap(random) + "}";
}

}  // namespace

nlohmann::json generateCase(std::uint64_t seed) {
  Random random(seed);
  random.badPercent = random.chance(40) ? 3 : 25;
  nlohmann::json files = nlohmann::json::array();
  std::vector<std::string> summary;
  const auto file = [&](const std::string& at, const std::string& text, unsigned mode = 0644) {
    files.push_back({{"at", at}, {"text", text}, {"mode", mode}});
  };

  // Where the per-user directory is: moved by the environment.
  nlohmann::json env = nlohmann::json::object();
  if (random.chance(45)) env["XDG_CONFIG_HOME"] = random.chance(90) ? "{home}/xdg" : "";
  if (random.chance(25)) env["CHROME_CONFIG_HOME"] = random.chance(85) ? "{home}/cch" : "";
  if (!env.empty()) summary.push_back("env " + env.dump());

  // Policies: mandatory, now and then recommended, in files of any name.
  const std::size_t policyFiles = random.chance(60) ? 0 : 1 + random.below(3);
  for (std::size_t i = 0; i < policyFiles; ++i) {
    const std::string directory = random.chance(12) ? "{recommended}" : "{policies}";
    const std::string name = random.pick<std::string>(
        {"a.json", "z.json", "policy", ".hidden.json", "b c.json", "m.json", "policy.json~"});
    const std::string at = directory + "/" + name;
    switch (random.breaks() ? random.below(8) : 99) {
      case 0:
        files.push_back({{"at", at}, {"directory", true}});
        summary.push_back("policy directory " + at);
        break;
      case 1:
        files.push_back({{"at", at}, {"fifo", true}});
        summary.push_back("policy FIFO " + at);
        break;
      case 2:
        files.push_back({{"at", at}, {"link", "{home}/nowhere.json"}});
        summary.push_back("dangling policy link " + at);
        break;
      case 3: {
        const std::string target = "{home}/policy-" + std::to_string(i) + ".json";
        file(target, policyText(random));
        files.push_back({{"at", at}, {"link", target}});
        summary.push_back("policy link " + at);
        break;
      }
      default:
        file(at, policyText(random));
        summary.push_back("policy " + at);
    }
  }

  // The host the manifests name.
  std::string hostPath = "{bin}/host";
  const std::string shebang = !random.breaks()    ? "#!/bin/sh\n"
                              : random.chance(70) ? ""
                                                  : "#!/nonexistent/sh\n";
  // Hosts the browser gets a reply from, each breaking its own contract or
  // not; then, where the case breaks things, ones it does not.
  const std::string body =
      !random.breaks()
          ? random.pick<std::string>(
                {"exec {real}", "exec {real}", "exec {real}", "echo noise >&2; exec {real}",
                 "sleep 2.5; exec {real}",
                 "head -c 19 >/dev/null; printf '\\014\\000\\000\\000{\"ok\": true}'",
                 "head -c 19 >/dev/null; printf '\\014\\000\\000\\000{\"ok\":false}'",
                 "setsid sleep 20 </dev/null >/dev/null 2>&1 & exec {real}",
                 "exec {real} extra-argument", "cd /; exec {real}"})
          : random.pick<std::string>({"exec {real}", "printf garbage", "exit 0", "exit 3",
                                      "printf '\\013\\000\\000\\000{\"ok\"'",
                                      "setsid sleep 20 </dev/null >/dev/null 2>&1 & exec {real}",
                                      "kill -SEGV $$", "printf '\\000\\000\\040\\000'; sleep 1",
                                      "exec {real} extra-argument", "cd /; exec {real}"});
  switch (random.breaks() ? random.below(12) : random.below(4) == 0 ? 0 : 99) {
    case 0:
      hostPath = "{real}";
      summary.push_back("host: the built host");
      break;
    case 1:
      files.push_back({{"at", "{bin}/host"}, {"link", "{real}"}});
      summary.push_back("host: a link to the built host");
      break;
    case 2:
      files.push_back({{"at", "{bin}/host"}, {"link", "{bin}/gone"}});
      summary.push_back("host: a dangling link");
      break;
    case 3:
      files.push_back({{"at", "{bin}/host"}, {"directory", true}});
      summary.push_back("host: a directory");
      break;
    case 4:
      summary.push_back("host: missing");
      break;
    case 5:
      if (random.chance(30)) {
        file("{bin}/host", shebang + "sleep 60\n", 0755);
        summary.push_back("host: hangs");
        break;
      }
      [[fallthrough]];
    default: {
      const unsigned mode = random.chance(25) && random.breaks() ? 0644 : 0755;
      file("{bin}/host", shebang + body + "\n", mode);
      summary.push_back("host: " + std::string(shebang.empty() ? "no #! " : "") + body +
                        (mode == 0644 ? " (0644)" : ""));
    }
  }

  // The manifests, per user (where the environment says, or in a decoy
  // place) and for every user.
  if (random.chance(70)) {
    const std::string directory = random.breaks() && random.chance(40) ? "{dotconfig}" : "{user}";
    file(directory + "/com.tarnwick.host.json", manifestText(random, hostPath));
    summary.push_back("manifest in " + directory);
  }
  if (random.chance(40)) {
    if (random.breaks() && random.chance(15)) {
      files.push_back({{"at", "{system}/com.tarnwick.host.json"}, {"fifo", true}});
      summary.push_back("system manifest: a FIFO");
    } else {
      file("{system}/com.tarnwick.host.json", manifestText(random, hostPath));
      summary.push_back("manifest in {system}");
    }
  }
  std::string joined;
  for (const std::string& part : summary) {
    if (!joined.empty()) joined += "; ";
    joined += part;
  }
  return {{"seed", seed}, {"summary", joined}, {"env", env}, {"files", files}};
}

}  // namespace tarnwick::testing
