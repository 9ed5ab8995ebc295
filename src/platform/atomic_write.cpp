// The recipe of an atomic replacement, written once over the steps of a
// Directory, so that every step can be made to fail in a test.
#include <cerrno>

#include "platform/system.h"

namespace tarnwick::os {

Status replaceFile(Directory& directory, const std::string& name, std::string_view bytes,
                   unsigned mode, bool clearAbandoned) {
  if (clearAbandoned) directory.clearAbandoned(name);
  for (int attempt = 0; attempt < 3; ++attempt) {
    std::unique_ptr<TemporaryFile> file;
    if (Status created = directory.createTemporary(name, mode, &file); !created.ok()) {
      return created;
    }
    Status step = file->write(bytes);
    if (step.ok()) step = file->sync();
    if (!step.ok()) {
      directory.remove(file->name());
      return step;
    }
    step = directory.rename(file->name(), name);
    if (step.ok()) {
      // Closed only after the rename: the lock tells other writers that the
      // file is in use until it has become the target.
      file.reset();
      return directory.sync();
    }
    // A rename that finds no file means that another writer's clean-up took
    // the new file for abandoned in the moment before it was locked: it is
    // gone already, and is written again.
    if (!step.notFound()) {
      directory.remove(file->name());
      return step;
    }
  }
  return Status::failure(EAGAIN);
}

}  // namespace tarnwick::os
