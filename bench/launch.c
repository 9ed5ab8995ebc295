/* Runs one program with standard input and output redirected and prints its
 * wall time and peak resident memory. The benchmark starts every measured run
 * through this small static program: a child's peak memory counts the memory
 * of the process it was started from, and this one's is tiny. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: %s INPUT OUTPUT PROGRAM [ARGS...]\n", argv[0]);
    return 2;
  }
  struct timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  pid_t child = fork();
  if (child == 0) {
    int in = open(argv[1], O_RDONLY);
    int out = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    close(in);
    close(out);
    execv(argv[3], argv + 3);
    _exit(127);
  }
  int status = 0;
  struct rusage usage;
  if (child < 0 || wait4(child, &status, 0, &usage) != child) return 1;
  clock_gettime(CLOCK_MONOTONIC, &end);
#if defined(__APPLE__)
  const long peakKiB = usage.ru_maxrss / 1024; /* bytes there, KiB on Linux */
#else
  const long peakKiB = usage.ru_maxrss;
#endif
  printf("%.9f %ld\n", (double)(end.tv_sec - start.tv_sec) + (double)(end.tv_nsec - start.tv_nsec) / 1e9,
         peakKiB);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}
