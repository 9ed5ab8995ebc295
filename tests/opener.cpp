#include "opener.h"

#include <sys/stat.h>

#include "platform/operating_system.h"
#include "scratch.h"

namespace tarnwick::testing {

void writeOpener(const std::string& directory, const std::string& record, int watchedDescriptor,
                 const std::string& extra) {
  const std::string path = directory + "/" + std::string(urlOpener(currentSystem()));
  // Everything is looked at before the record is opened, which would
  // otherwise show up as one of the descriptors.
  writeFile(path,
            "#!/bin/sh\nstate=\"args:$*\"\nfor fd in 0 1 2 " + std::to_string(watchedDescriptor) +
                "; do state=\"$state\nfd$fd:$(readlink /proc/$$/fd/$fd)\"; done\n"
                "[ \"$(cut -d' ' -f6 /proc/$$/stat)\" = \"$$\" ] && state=\"$state\nleader\"\n"
                "printf '%b\\n' \"$state\" >> '" +
                record + "'\n" + extra + "\n");
  chmod(path.c_str(), 0755);
}

}  // namespace tarnwick::testing
