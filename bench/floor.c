/* The floor the host is measured against: the same system calls for the same
 * requests, with no JSON work at all. Requests are told apart by substrings
 * alone: a body naming one of the five browsers gets its status file when it
 * mentions "ping" or "capture", and a capture (one mentioning "url") gets the
 * capture file too. The files hold the raw request bytes. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__APPLE__)
#include <stdlib.h> /* arc4random_buf */
#else
#include <sys/random.h>
#endif

/* The kernel's randomness, as the host takes it. */
static int randomBytes(unsigned char* bytes, size_t count) {
#if defined(__APPLE__)
  arc4random_buf(bytes, count);
  return 1;
#else
  return getrandom(bytes, count, 0) == (ssize_t)count;
#endif
}

/* The file's data before the rename, as the host orders it. */
static int syncData(int fd) {
#if defined(__APPLE__)
  if (fcntl(fd, F_BARRIERFSYNC) == 0) return 1;
#endif
  return fsync(fd) == 0;
}

static int readExactly(char* into, size_t count) {
  size_t held = 0;
  while (held < count) {
    ssize_t got = read(0, into + held, count - held);
    if (got <= 0) return 0;
    held += (size_t)got;
  }
  return 1;
}

static int writeAll(int fd, const char* bytes, size_t count) {
  while (count > 0) {
    ssize_t n = write(fd, bytes, count);
    if (n < 0) return 0;
    bytes += n;
    count -= (size_t)n;
  }
  return 1;
}

static int makeDirectories(char* path) {
  struct stat info;
  if (stat(path, &info) == 0) return S_ISDIR(info.st_mode);
  for (char* slash = strchr(path + 1, '/'); slash; slash = strchr(slash + 1, '/')) {
    *slash = 0;
    mkdir(path, 0777);
    *slash = '/';
  }
  mkdir(path, 0777);
  return stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

static int writeAtomically(const char* directory, const char* name, const char* bytes, size_t count) {
  int dir = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return 0;
  unsigned char noise[8];
  char temporary[300];
  if (!randomBytes(noise, sizeof noise)) return 0;
  snprintf(temporary, sizeof temporary, ".%s.%02x%02x%02x%02x%02x%02x%02x%02x", name, noise[0],
           noise[1], noise[2], noise[3], noise[4], noise[5], noise[6], noise[7]);
  int fd = openat(dir, temporary, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  int ok = fd >= 0 && writeAll(fd, bytes, count) && syncData(fd);
  if (fd >= 0) ok = close(fd) == 0 && ok;
  ok = ok && renameat(dir, temporary, dir, name) == 0 && fsync(dir) == 0;
  close(dir);
  return ok;
}

static const char* browserIn(const char* body, size_t length) {
  static const char* const names[] = {"\"chrome\"", "\"edge\"", "\"chromium\"", "\"brave\"",
                                      "\"vivaldi\""};
  static const char* const files[] = {"chrome.json", "edge.json", "chromium.json", "brave.json",
                                      "vivaldi.json"};
  for (size_t i = 0; i < 5; ++i) {
    if (memmem(body, length, names[i], strlen(names[i]))) return files[i];
  }
  return NULL;
}

static int record(const char* body, size_t length, const char* subdirectory, const char* name) {
  const char* home = getenv("HOME");
  if (!home) return 0;
  char directory[4096];
  snprintf(directory, sizeof directory, "%s/Library/Application Support/Tarnwick%s", home,
           subdirectory);
  if (!makeDirectories(directory)) return 0;
  return writeAtomically(directory, name, body, length);
}

int main(void) {
  signal(SIGPIPE, SIG_IGN);
  static char body[0xFFFFF];
  uint32_t length;
  while (readExactly((char*)&length, 4) && length >= 1 && length <= sizeof body &&
         readExactly(body, length)) {
    int ok = 0;
    const char* browser = browserIn(body, length);
    if (memmem(body, length, "\"capture\"", 9) && memmem(body, length, "\"url\"", 5)) {
      unsigned char nonce[16];
      if (browser) record(body, length, "/BrowserStatus", browser);
      ok = randomBytes(nonce, sizeof nonce) &&
           record(body, length, "", "capture-request.json");
    } else if (memmem(body, length, "\"ping\"", 6)) {
      ok = browser ? record(body, length, "/BrowserStatus", browser) : 1;
    }
    const char* reply = ok ? "{\"ok\":true}" : "{\"ok\":false}";
    uint32_t replyLength = (uint32_t)strlen(reply);
    if (!writeAll(1, (const char*)&replyLength, 4) || !writeAll(1, reply, replyLength)) break;
  }
  return 0;
}
