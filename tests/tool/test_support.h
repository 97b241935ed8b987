// Helpers for the utility's tests: scratch directories on the real file
// system, trees, links and sparse files, and running the built program as a
// child process with its standard output and error captured. Each platform
// implements them in its own folder; the cases themselves stay portable.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/entry.h"
#include "tool/tree_totals.h"
#include "tool/working_path.h"

class WALK_CREW;

namespace test_support {

namespace fs = std::filesystem;
using PATH_STRING = std::basic_string<PATH_CHAR>;

// A directory of its own under the system's temporary folder, removed with
// everything below it (however deep) when the test ends.
struct SCRATCH_DIRECTORY {
  fs::path Root;
  SCRATCH_DIRECTORY();
  explicit SCRATCH_DIRECTORY(const fs::path &Base);
  ~SCRATCH_DIRECTORY();
  SCRATCH_DIRECTORY(const SCRATCH_DIRECTORY &) = delete;
  SCRATCH_DIRECTORY &operator=(const SCRATCH_DIRECTORY &) = delete;
};

// The fixture of every walk test: a scratch folder holding the tree to delete
// and, beside it, "outside/inner/kept", which no deletion may touch.
class TREE_TEST : public testing::Test {
 protected:
  SCRATCH_DIRECTORY Scratch;
  fs::path Tree = Scratch.Root / "tree";
  fs::path Outside = Scratch.Root / "outside";

  void SetUp() override;
};

struct RUN_RESULT {
  std::string Output;
  std::string Errors;
  int ExitStatus = -1;
};

// An ASCII text as a path string of the platform's character type.
inline PATH_STRING Native(const std::string &Ascii) { return PATH_STRING(Ascii.begin(), Ascii.end()); }

// Runs the built utility with Arguments in WorkingDirectory.
RUN_RESULT RunKrax(const std::vector<PATH_STRING> &Arguments, const fs::path &WorkingDirectory);
// The same with Workers walk workers, as on a machine with that many processors.
RUN_RESULT RunKraxWorkers(int Workers, const std::vector<PATH_STRING> &Arguments, const fs::path &WorkingDirectory);

// The form of a path that the platform accepts at any length.
fs::path LongForm(const fs::path &Path);
// A path as the utility prints it (ASCII paths only on Windows).
std::string Shown(const fs::path &Path);
// Expected console text: "\n" becomes the platform's line end on standard output.
std::string NativeLines(const std::string &Text);

void WriteFile(const fs::path &Path, size_t Bytes);
// A file of Bytes length that occupies next to no disk space.
bool MakeSparseFile(const fs::path &Path, uint64_t Bytes);
// A symbolic link made by the host system (under Wine: a Unix symbolic link).
bool MakeSymbolicLink(const fs::path &Target, const fs::path &Link);
// A new empty directory its owner may not write into: mode 555 where the host
// has modes (under Wine too), else the read-only attribute.
bool MakeReadOnlyDirectory(const fs::path &Path);
// True when this Windows build runs under Wine.
bool RunsUnderWine();
// False under Wine, which lists no link whose target is missing or a loop.
bool ListsDanglingLinks();

// An entry's kind and mode as the host sees them, its last component never
// followed (under Wine: the Unix mode; on Windows: the attributes), or "gone".
std::string EntryMode(const fs::path &Path);
// Every entry at and below Root, one line each: relative name, mode, and a
// file's content. What a deletion must leave as it was outside its tree.
std::string DescribeTree(const fs::path &Root);
// Creates a chain of Depth directories named Name below Root; returns the deepest.
fs::path MakeDeepChain(const fs::path &Root, const PATH_STRING &Name, int Depth);
// Removes Path and everything below it, however deep, whatever its modes;
// links are removed, never followed.
void RemoveTree(const fs::path &Path);

// Runs the library's deletion of its arguments with its output captured, line
// ends as "\n". Without a number of workers, the one-thread walk.
struct DELETION {
  TREE_TOTALS Totals;
  std::string Output;
};
DELETION DeleteWithLibrary(const fs::path &Argument);
DELETION DeleteWithLibrary(const std::vector<fs::path> &Arguments);
// The same with a crew of Workers threads (the crew of one, like a machine
// with one processor, walks with one thread).
DELETION DeleteWithLibrary(const std::vector<fs::path> &Arguments, int Workers);
DELETION DeleteWithLibrary(const std::vector<fs::path> &Arguments, WALK_CREW &Crew);

}  // namespace test_support
