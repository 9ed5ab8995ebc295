// tarnwick-host: started by the browser for the extension; command-line
// arguments (the caller's origin) are ignored.
#include "host/host.h"
#include "platform/platform.h"

int main() {
  try {
    const auto platform = tarnwick::makeSystemPlatform();
    tarnwick::runHost(*platform);
  } catch (...) {
    // Nothing may reach standard error; the exit status is 0 in every case.
  }
  return 0;
}
