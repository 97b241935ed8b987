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
  fs::path Program;           // the program to run; empty: the built utility
};

RUN_RESULT RunKraxWith(const std::vector<PATH_STRING> &Arguments, const fs::path &WorkingDirectory,
                       const CHILD_SETTINGS &Settings);

}  // namespace test_support
