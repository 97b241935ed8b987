// Windows-only helpers for tests under Wine: the host's view of an entry and
// entries made directly on the host, through the host's own system calls (an
// implementation of the tests' own, independent of the program's). Each one
// fails, doing nothing, when not under Wine.
#pragma once

#include <string>

#include "tests/tool/test_support.h"

namespace test_support {

// The host's path of a Windows path; empty when there is none.
std::string HostPath(const fs::path &Path);
// Creates an empty file or a directory named Name inside the host directory
// Directory, whatever the length of the whole.
bool MakeHostFile(const std::string &Directory, const std::string &Name);
bool MakeHostDirectory(const std::string &Directory, const std::string &Name);
// Whether Name stands inside the host directory Directory, not followed if a link.
bool HostEntryExists(const std::string &Directory, const std::string &Name);

}  // namespace test_support
