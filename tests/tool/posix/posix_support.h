// POSIX-only helpers: running the program with fewer rights or descriptors,
// and handing a tree to an unprivileged user so that mode bits bind. The
// program is run from a descriptor opened before the child gives up root, so
// an unprivileged run does not depend on where the build tree lives.
#pragma once

#include <dirent.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/types.h>

#include "tests/tool/test_support.h"

namespace test_support {

// The conventional "nobody".
constexpr uid_t UnprivilegedId = 65534;

struct CHILD_SETTINGS {
  bool Unprivileged = false;  // run as UnprivilegedId (needs root)
  int DescriptorLimit = 0;    // soft and hard RLIMIT_NOFILE; 0 leaves it
  bool OutputUnread = false;  // standard output is a pipe whose reader has gone
  size_t StackLimit = 0;      // soft RLIMIT_STACK in bytes ("ulimit -s"); 0 leaves it
  int ProcessLimit = 0;       // RLIMIT_NPROC, set once unprivileged; 0 leaves it
  int Workers = 0;            // walk workers of the test build; 0 runs the utility itself
  fs::path Program;           // the program to run; empty: the built utility
};

// Runs the built utility; WorkingDirectory may be longer than the system's
// path limit.
RUN_RESULT RunKraxWith(const std::vector<PATH_STRING> &Arguments, const fs::path &WorkingDirectory,
                       const CHILD_SETTINGS &Settings);

// Opens an absolute Path of any length one component at a time from the root,
// following links as the system would; -1 when it cannot.
int OpenAnyLength(const std::string &Path, int Flags);
// Whether an entry stands at Path, of any length, without following its last component.
bool ExistsAnyLength(const std::string &Path);

// Gives every entry below and including Path to the unprivileged user.
void GiveAway(const fs::path &Path);
// Whether a process of the unprivileged user, capped at one process, can still
// start a thread; that cap is how the tests take threads away.
bool ThreadsCanBeCappedAway();
// Every entry below Root, however deep, one line each: relative name, mode,
// and a regular file's size; links are not followed, other file systems are
// described as they are found.
std::string DescribeAnyLength(const fs::path &Root);

}  // namespace test_support
