/* The stand-in for the desktop's URL opener that the tests install under the
 * opener's name (through the script that writeOpener writes, which execs
 * this as the same process). It appends to a record what it was given and
 * what it inherited, the same way on every system: its arguments, where its
 * standard streams and one watched descriptor lead, and whether it leads a
 * session of its own. Then it runs the extra shell commands it was given, as
 * the same process.
 *
 * usage: opener_probe RECORD WATCHED EXTRA [ARGUMENT...] */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

/* "/dev/null", "" for a closed descriptor, or "other". */
static const char* leadsTo(int fd) {
  struct stat seen, null;
  if (fcntl(fd, F_GETFD) < 0) return "";
  if (fstat(fd, &seen) == 0 && stat("/dev/null", &null) == 0 && S_ISCHR(seen.st_mode) &&
      seen.st_rdev == null.st_rdev) {
    return "/dev/null";
  }
  return "other";
}

int main(int argc, char** argv) {
  if (argc < 4) return 2;
  const int watched = atoi(argv[2]);
  char state[8192];
  size_t used = (size_t)snprintf(state, sizeof state, "args:");
  for (int i = 4; i < argc && used < sizeof state; ++i) {
    used += (size_t)snprintf(state + used, sizeof state - used, "%s%s", i > 4 ? " " : "", argv[i]);
  }
  /* Everything is looked at before the record is opened, which would
   * otherwise show up as one of the descriptors. */
  const int fds[] = {0, 1, 2, watched};
  for (size_t i = 0; i < sizeof fds / sizeof fds[0] && used < sizeof state; ++i) {
    used +=
        (size_t)snprintf(state + used, sizeof state - used, "\nfd%d:%s", fds[i], leadsTo(fds[i]));
  }
  if (getsid(0) == getpid() && used < sizeof state) {
    used += (size_t)snprintf(state + used, sizeof state - used, "\nleader");
  }
  FILE* record = fopen(argv[1], "a");
  if (record == NULL) return 1;
  fprintf(record, "%s\n", state);
  fclose(record);
  if (argv[3][0] != '\0') execl("/bin/sh", "sh", "-c", argv[3], (char*)NULL);
  return 0;
}
