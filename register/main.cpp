// tarnwick-register: makes the host known to the Chromium-family browsers by
// installing its native-messaging manifest, removes it again, shows where it
// is registered, and finds out why a browser would not start it. The work is
// in commands.cpp; this only wires the process to it.
#include <iostream>
#include <string>
#include <vector>

#include "commands.h"
#include "console.h"
#include "options.h"
#include "platform/system.h"

using namespace tarnwick;
using namespace tarnwick::registration;

int main(int argc, char** argv) {
  // A host or a reader that is gone is reported, not fatal; and no pipe or
  // file of the doctor's may take the number of a closed standard stream.
  os::prepareStandardStreams();
  Console console{Output(std::cout), Output(std::cerr)};
  const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  Options options;
  if (const os::Status parsed = parseCommandLine(arguments, &options); !parsed.ok()) {
    return console.refuse(parsed.message(), 2);
  }
  // This program by the path it was started by, so that the default host is
  // found beside the link a package manager keeps.
  options.self = os::invokedPath(argc > 0 ? argv[0] : "");
  int status = 1;
  try {
    status = runCommand(options, console);
  } catch (const std::exception& error) {  // no memory, above all
    status = console.refuse(std::string("unexpected failure: ") + error.what());
  }
  // What could not be written was not said: that is a failure too.
  if (!console.out.good()) {
    console.refuse("could not write to standard output");
    return status == 0 ? 1 : status;
  }
  return status;
}
