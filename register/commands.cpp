#include "commands.h"

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "doctor.h"
#include "locations.h"
#include "machine.h"
#include "manifest.h"
#include "platform/system.h"

namespace tarnwick::registration {
namespace {

// `text` as one word of the POSIX shell.
std::string shellQuote(const std::string& text) {
  if (!text.empty() && text.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                              "0123456789_./:=@%+,-") == std::string::npos) {
    return text;
  }
  std::string quoted = "'";
  for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string hostBeside(const std::string& tool) {
  const std::string bin = tool.substr(0, tool.rfind('/'));
  return bin.substr(0, bin.rfind('/')) + "/libexec/tarnwick/tarnwick-host";
}

// The host beside this tool. Homebrew links only bin/ into its prefix, so a
// tool started as PREFIX/bin/tarnwick-register is followed to its keg
// (PREFIX/Cellar/NAME/VERSION), and the keg is named through PREFIX/opt/NAME,
// the link that upgrades keep. Otherwise the host beside the path as
// invoked, then beside the tool's real place; the first that is there wins.
std::string defaultHost(const std::string& selfPath) {
  if (selfPath.empty()) return "";
  std::vector<std::string> candidates;
  std::string real;
  if (os::resolvedPath(selfPath, &real).ok()) {
    if (const std::optional<std::string> lasting = upgradeProofPath(real)) {
      candidates.push_back(hostBeside(*lasting));
    }
  }
  candidates.push_back(hostBeside(selfPath));
  if (!real.empty()) candidates.push_back(hostBeside(real));
  for (const std::string& candidate : candidates) {
    if (os::isExecutableFile(candidate)) return candidate;
  }
  return candidates.front();
}

// Run through sudo, a per-user command would act on root's home.
os::Status refuseUnderSudo(const Options& options, const char* what) {
  const std::optional<std::string> sudoUser = os::environmentVariable("SUDO_USER");
  if (options.system || options.directory || !sudoUser || !os::runningAsRoot()) return {};
  return os::Status::failure(EPERM, std::string("run through sudo, a per-user ") + what +
                                        " would act on root's home, not " + *sudoUser +
                                        "'s: use --system for every user, or run it without sudo");
}

// What to do about a refused write of every user's registration.
std::string needsRoot(const Options& options, const os::Status& failure) {
  if (!options.system || os::runningAsRoot()) return "";
  if (failure.error() != EACCES && failure.error() != EPERM) return "";
  return " (registering for every user needs root: run it with sudo)";
}

std::string undoCommand(const Options& options) {
  std::string command =
      shellQuote(options.self.empty() ? "tarnwick-register" : options.self) + " uninstall";
  if (options.system) command += " --system";
  for (const std::string& browser : options.browsers) command += " --browser " + browser;
  if (options.directory) command += " --dir " + shellQuote(*options.directory);
  if (options.osGiven) command += options.os == System::Linux ? " --os linux" : " --os macos";
  if (!options.root.empty()) command += " --root " + shellQuote(options.root);
  if (options.app) command += " --app " + shellQuote(*options.app);
  return command;
}

// The machine, and where `install` with `options` writes on it.
os::Status chooseTargets(const Options& options, Machine* here, std::vector<Target>* targets,
                         std::vector<std::string>* skipped) {
  if (os::Status loaded = loadMachine(options, here); !loaded.ok()) return loaded;
  return installTargets(options, *here, targets, skipped);
}

// The directories `install` with the same options would write, one a line,
// for packagers who need to know them beforehand.
int directories(const Options& options, Console& console) {
  Machine here;
  std::vector<Target> targets;
  std::vector<std::string> skipped;
  if (const os::Status chosen = chooseTargets(options, &here, &targets, &skipped); !chosen.ok()) {
    return console.refuse(chosen.message() + "; nothing was touched");
  }
  for (const Target& target : targets) console.out << target.directory << "\n";
  return 0;
}

// The owner install gives what it writes: root for every user's
// registration, the user otherwise. A tree staged under --root by another
// user keeps that user's (the package tool sets the owner).
unsigned ownerFor(const Options& options) {
  return options.system && (options.root.empty() || os::runningAsRoot()) ? 0 : os::userId();
}

std::string octal(unsigned mode) {
  std::string digits;
  for (int shift = 9; shift >= 0; shift -= 3)
    digits.push_back(static_cast<char>('0' + ((mode >> shift) & 7U)));
  return digits;
}

// What keeps the manifest `file` in `directory` from being exactly as
// install makes it, each a phrase; empty when nothing does. The browser's
// trust rests on all of it: a link, another owner, or a mode or a directory
// that others may write would let someone else point the browser at a
// program of their own. So a manifest is "unchanged" only when its content
// and every one of these are as install makes them.
std::vector<std::string> flawsOf(const std::string& file, const std::string& directory,
                                 unsigned owner) {
  std::vector<std::string> flaws;
  os::FileInfo info;
  if (os::linkInfo(file, &info).ok()) {
    if (info.link) {
      flaws.push_back("it was a symbolic link");
    } else if (info.type != os::FileType::Regular) {
      flaws.push_back("it was not a regular file");
    } else {
      if (info.owner != owner) flaws.push_back("it belonged to user " + std::to_string(info.owner));
      if (info.mode != 0644) flaws.push_back("its mode was " + octal(info.mode));
    }
  }
  if (os::fileInfo(directory, &info).ok()) {
    if (info.owner != owner) {
      flaws.push_back("its directory belonged to user " + std::to_string(info.owner));
    }
    if (info.mode != 0755) flaws.push_back("its directory's mode was " + octal(info.mode));
  }
  return flaws;
}

// Makes the manifest directory as install makes it: 0755, owned by `owner`.
os::Status repairDirectory(const std::string& directory, unsigned owner) {
  os::FileInfo info;
  if (os::Status found = os::fileInfo(directory, &info); !found.ok()) return found;
  if (info.owner != owner) {
    if (os::Status owned = os::setOwner(directory, owner); !owned.ok()) {
      return os::Status::failure(owned.error(), "its directory belongs to user " +
                                                    std::to_string(info.owner) +
                                                    ", who could replace it, and cannot be given "
                                                    "back (" +
                                                    owned.message() + ")");
    }
  }
  return info.mode == 0755 ? os::Status() : os::setMode(directory, 0755);
}

int install(const Options& options, Console& console) {
  Output& out = console.out;
  Output& err = console.err;
  if (options.origins.empty()) {
    return console.refuse("give at least one --extension-id; nothing was touched", 2);
  }
  if (const os::Status sudo = refuseUnderSudo(options, "install"); !sudo.ok()) {
    return console.refuse(sudo.message() + "; nothing was touched");
  }
  const std::string host = options.host.empty() ? defaultHost(options.self) : options.host;
  if (!os::isExecutableFile(host)) {
    return console.refuse("no executable host at " + host + "; nothing was touched");
  }
  const std::optional<std::string> manifest = manifestText(host, options.origins);
  if (!manifest) return console.refuse("the host path is not valid UTF-8; nothing was touched");

  Machine here;
  std::vector<Target> targets;
  std::vector<std::string> skipped;
  if (const os::Status chosen = chooseTargets(options, &here, &targets, &skipped); !chosen.ok()) {
    return console.refuse(chosen.message() + "; nothing was touched");
  }

  // Every place is tried, and every failure reported with its own cause.
  int written = 0, failed = 0;
  const unsigned owner = ownerFor(options);
  for (const Target& target : targets) {
    const std::string file = manifestPath(target.directory);
    const std::vector<std::string> flaws = flawsOf(file, target.directory, owner);
    std::string current;
    const bool unchanged =
        flaws.empty() && readBoundedFile(file, &current).ok() && current == *manifest;
    os::Status done;
    // An uninstall running at the same time may take the directory away
    // between its making and the write: then it is made again.
    for (int attempt = 0; attempt < 3 && !unchanged; ++attempt) {
      done = os::createDirectories(target.directory, 0755);
      if (done.ok()) done = repairDirectory(target.directory, owner);
      if (done.ok()) done = os::writeFileAtomically(file, *manifest, 0644);
      if (!done.notFound()) break;
    }
    if (!done.ok()) {
      err << "tarnwick-register: could not write " << file << ": " << done.message()
          << needsRoot(options, done) << "\n";
      ++failed;
      continue;
    }
    ++written;
    std::string repaired;
    for (const std::string& flaw : flaws) repaired += (repaired.empty() ? "" : ", ") + flaw;
    out << "registered" << (target.names.empty() ? "" : " for " + joined(target.names)) << ": "
        << file << (unchanged ? " (unchanged)" : "")
        << (repaired.empty() ? "" : " (repaired: " + repaired + ")") << "\n";
    if (!options.browsers.empty()) {
      const std::vector<std::string> others =
          readersOf(target.directory, options.system, here.all, options.browsers);
      if (!others.empty()) out << "  this file is also read by " << joined(others) << "\n";
    }
  }
  if (!skipped.empty()) {
    out << "skipped, not installed: " << joined(skippedNames(here, skipped))
        << " (--all registers for them too)\n";
  }
  for (const Browser& browser : here.browsers) {
    for (const Sandboxed& sandbox : sandboxedInstallations(browser, here.context)) {
      if (sandbox.flatpak) {
        out << "note: " << browser.name << " is installed as a Flatpak (" << sandbox.path
            << "), which reads manifests in " << sandbox.hosts
            << " and runs the host inside its sandbox, away from Tarnwick's files; use "
            << browser.name << " from its regular package for Tarnwick\n";
      } else {
        out << "note: " << browser.name << " is installed as a Snap (" << sandbox.path
            << "), whose sandbox cannot start native hosts; use " << browser.name
            << " from its regular package for Tarnwick\n";
      }
    }
  }
  // The undo command is printed as it must be pasted: shell-quoted, so any
  // character of a path stays inside its quotes.
  if (written > 0) out.raw("undo with: " + undoCommand(options) + "\n");
  if (failed > 0) {
    err << "tarnwick-register: " << failed << " of " << targets.size() << " registrations failed\n";
    return 1;
  }
  if (written == 0) {
    out << "no browser found to register for; use --all, --browser NAME, or --dir for "
           "another place\n";
  }
  return 0;
}

int uninstall(const Options& options, Console& console) {
  Output& out = console.out;
  Output& err = console.err;
  if (const os::Status sudo = refuseUnderSudo(options, "uninstall"); !sudo.ok()) {
    return console.refuse(sudo.message() + "; nothing was touched");
  }
  Machine here;
  if (const os::Status loaded = loadMachine(options, &here); !loaded.ok()) {
    return console.refuse(loaded.message() + "; nothing was touched");
  }
  std::vector<Browser> installedOthers;
  for (const Browser& browser : here.all) {
    if (isInstalled(browser, here.context)) installedOthers.push_back(browser);
  }
  int removed = 0, failed = 0;
  for (const Target& target : directoriesInScope(options, here, options.system)) {
    const std::string file = manifestPath(target.directory);
    std::string text;
    const os::Status read = readBoundedFile(file, &text);
    // Only this host's own manifest is removed, never a file that merely has
    // its name.
    if (!read.ok() && os::pathExists(file)) {
      out << "left " << file << " alone: " << read.message() << "\n";
    }
    if (!read.ok() || !isOurManifest(text)) continue;
    if (!options.browsers.empty()) {
      const std::vector<std::string> others =
          readersOf(target.directory, options.system, installedOthers, options.browsers);
      if (!others.empty()) {
        out << "kept " << file << ": " << joined(others)
            << " reads it too (name it with --browser to remove it as well)\n";
        continue;
      }
    }
    const os::Status unlinked = os::removeFile(file);
    // Gone already: another uninstall running at the same time took it.
    if (unlinked.notFound()) continue;
    if (!unlinked.ok()) {
      err << "tarnwick-register: could not remove " << file << ": " << unlinked.message()
          << needsRoot(options, unlinked) << "\n";
      ++failed;
      continue;
    }
    out << "removed " << file << "\n";
    ++removed;
    // A manifest directory of the browsers' own goes too once empty; a
    // directory given with --dir is the user's and stays.
    if (!options.directory && !options.keepDirectories && isHostsDirectory(target.directory) &&
        os::removeDirectory(target.directory).ok()) {
      out << "removed " << target.directory << "\n";
    }
  }
  if (removed == 0 && failed == 0) out << "not registered anywhere here\n";
  return failed > 0 ? 1 : 0;
}

int status(const Options& options, Console& console) {
  Output& out = console.out;
  Machine here;
  if (const os::Status loaded = loadMachine(options, &here); !loaded.ok()) {
    return console.refuse(loaded.message());
  }
  int found = 0;
  for (const bool systemWide : {false, true}) {
    if (options.directory && systemWide) break;
    // --system: only what every user gets
    if (options.system && !systemWide && !options.directory) continue;
    for (const Target& target : directoriesInScope(options, here, systemWide)) {
      const std::string file = manifestPath(target.directory);
      std::string text;
      const os::Status read = readBoundedFile(file, &text);
      if (!read.ok() || !isOurManifest(text)) {
        if (os::pathExists(file) && !read.ok()) {
          out << file << ": unreadable (" << read.message() << ")\n";
        }
        continue;
      }
      ++found;
      const Manifest manifest = checkManifest(text, kHostName);
      out << (target.names.empty() ? "" : joined(target.names) + ": ") << file
          << (systemWide ? " (every user)" : "") << "\n  host: " << manifest.hostPath
          << (os::isExecutableFile(manifest.hostPath) ? "" : "  (MISSING)") << "\n";
      for (const std::string& origin : manifest.origins) out << "  allows: " << origin << "\n";
      for (const std::string& problem : manifest.problems) {
        out << "  BROKEN: " << problem << "\n";
      }
    }
  }
  if (found == 0) out << "not registered anywhere here\n";
  return 0;
}

void printExamination(Output& out, const std::string& subject, const Examination& examination) {
  out << subject << ": " << (examination.healthy() ? "healthy" : "FAILS") << "\n";
  for (const std::string& note : examination.notes) out << "  " << note << "\n";
  for (const std::string& problem : examination.problems) out << "  problem: " << problem << "\n";
  for (const std::string& line : examination.contract) out << "  host contract: " << line << "\n";
  for (const std::string& line : examination.security) out << "  security: " << line << "\n";
}

// The extensions the doctor checks for: those named with --extension-id,
// else the installed list beside the tool (PREFIX/share/tarnwick/
// extension-ids, one ID a line), else the list this build was made with.
std::vector<std::string> extensionIdsToCheck(const Options& options) {
  const std::string& selfPath = options.self;
  std::vector<std::string> ids;
  const auto add = [&](const std::string& origin) {
    const std::string id = origin.substr(19, 32);  // chrome-extension://<id>/
    if (std::find(ids.begin(), ids.end(), id) == ids.end()) ids.push_back(id);
  };
  for (const std::string& origin : options.origins) add(origin);
  if (!ids.empty() || selfPath.empty()) return ids;
  std::string listed;
  const std::string bin = selfPath.substr(0, selfPath.rfind('/'));
  const std::string file = bin.substr(0, bin.rfind('/')) + "/share/tarnwick/extension-ids";
  if (!readBoundedFile(file, &listed).ok()) listed = TARNWICK_EXTENSION_IDS;
  std::string line;
  for (const char c : listed + "\n") {
    if (c == '\n' || c == ',') {
      if (const std::optional<std::string> origin = extensionOrigin(line)) add(*origin);
      line.clear();
    } else if (c != '\r' && c != ' ') {
      line.push_back(c);
    }
  }
  return ids;
}

int doctor(const Options& options, Console& console) {
  const std::vector<std::string> ids = extensionIdsToCheck(options);
  Output& out = console.out;
  if (ids.empty()) {
    return console.refuse("no Tarnwick extension ID is known here: name one with --extension-id",
                          2);
  }
  if (options.directory) {
    const Examination examination =
        examineManifest(manifestPath(*options.directory), options.system, options.root, ids);
    printExamination(out, *options.directory, examination);
    out << "doctor: "
        << (examination.healthy() ? "the manifest there would start the host"
                                  : "the manifest there would not start the host")
        << "\n";
    if (!examination.security.empty()) {
      out << "doctor: and others than root can replace it (see security above)\n";
    }
    return examination.healthy() && examination.security.empty() ? 0 : 1;
  }
  Machine here;
  if (const os::Status loaded = loadMachine(options, &here); !loaded.ok()) {
    return console.refuse(loaded.message());
  }
  std::vector<std::string> healthy, failing, unsafe;
  for (const Browser& browser : here.browsers) {
    // The builds that are here; of a family named with --browser but not
    // here at all, its main build, so that the answer says what is missing.
    if (!isInstalled(browser, here.context) &&
        (options.browsers.empty() || anyInstalled(here, browser.key) ||
         &browser != &firstOf(here, browser.key))) {
      continue;
    }
    Examination examination = examineBrowser(browser, here.context, ids);
    if (!isInstalled(browser, here.context)) {
      examination.notes.insert(examination.notes.begin(), "not installed here");
    }
    printExamination(out, browser.name, examination);
    (examination.healthy() ? healthy : failing).push_back(browser.name);
    if (!examination.security.empty()) unsafe.push_back(browser.name);
  }
  // Whoever else can replace a manifest every user's browser reads can make
  // it start a program of theirs: that fails the doctor whatever the verdict.
  if (!unsafe.empty()) {
    out << "doctor: security: others than root can replace what " << joined(unsafe)
        << " reads for every user (see above)\n";
  }
  if (healthy.empty() && failing.empty()) {
    out << "doctor: no browser found; name one with --browser\n";
    return 1;
  }
  if (failing.empty()) {
    out << "doctor: healthy: " << joined(healthy) << " would start the host\n";
    return unsafe.empty() ? 0 : 1;
  }
  out << "doctor: " << joined(failing) << (failing.size() == 1 ? " would" : " would each")
      << " fail to start the host"
      << (healthy.empty() ? "" : "; " + joined(healthy) + " would start it") << "\n";
  return 1;
}

int printManifest(const Options& options, Console& console) {
  if (options.origins.empty()) return console.refuse("give at least one --extension-id", 2);
  const std::string host = options.host.empty() ? defaultHost(options.self) : options.host;
  const std::optional<std::string> manifest = manifestText(host, options.origins);
  if (!manifest) return console.refuse("the host path is not valid UTF-8");
  console.out.raw(*manifest);
  return 0;
}

}  // namespace

int runCommand(const Options& options, Console& console) {
  if (options.help) {
    console.out.raw(kUsage);
    return 0;
  }
  if (options.command == "install") return install(options, console);
  if (options.command == "uninstall") return uninstall(options, console);
  if (options.command == "doctor") return doctor(options, console);
  if (options.command == "print-manifest") return printManifest(options, console);
  if (options.command == "directories") return directories(options, console);
  return status(options, console);
}

}  // namespace tarnwick::registration
