// The commands of tarnwick-register, each from the options, printing to a
// console and giving the exit status: 0 done, 1 something failed (or the
// doctor found a browser that would not start the host), 2 a usage error,
// with nothing touched.
#pragma once

#include "console.h"
#include "options.h"

namespace tarnwick::registration {

int runCommand(const Options& options, Console& console);

}  // namespace tarnwick::registration
