// The host started as a browser starts it, and what came back: the part of
// the doctor that runs a program.
#pragma once

#include <string>
#include <vector>

namespace tarnwick::registration {

// Runs the host at `host` as the browser does for the extension at
// `origin`: the origin as its only argument, its own directory as the
// working directory, pipes for standard input and output, the environment
// of a browser started from the desktop with PATH=/usr/bin:/bin, and a file
// without "#!" run by /bin/sh, as execvp runs one that fails with ENOEXEC
// (base/process/launch_posix.cc). It sends {"type":"ping"} and watches what
// comes back.
struct SelfTest {
  // Why the browser would get no reply: the host could not be started, it
  // ended or hung without sending a whole message, the message was longer
  // than the browser takes (1 MiB, native_message_process_host.cc), or it
  // exited without reading its request (then the browser's write of it
  // fails, by chance). Empty when the extension would get a reply.
  std::vector<std::string> browserFailures;
  // What the host breaks of its own contract, which the browser does not
  // check: exactly {"ok":true} within 2 s, nothing on standard error,
  // nothing after the reply, exit status 0 within 2 s of its input
  // closing, and nothing left running after it.
  std::vector<std::string> contractBreaches;
};
SelfTest selfTest(const std::string& host, const std::string& origin);

}  // namespace tarnwick::registration
