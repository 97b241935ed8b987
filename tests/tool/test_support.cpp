#include "tests/tool/test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <set>

#include "platform/file_system.h"
#include "tool/driver.h"
#include "tool/walk_crew.h"

namespace test_support {

void TREE_TEST::SetUp() {
  ASSERT_FALSE(Scratch.Root.empty());
  fs::create_directory(Tree);
  fs::create_directories(Outside / "inner");
  WriteFile(Outside / "inner" / "kept", 5);
}

void WriteFile(const fs::path &Path, size_t Bytes) {
  std::ofstream File(LongForm(Path), std::ios::binary);
  const std::string Content(Bytes, 'k');
  File << Content;
}

namespace {

DELETION Delete(const std::vector<fs::path> &Arguments, WALK_CREW *Crew) {
  // The working path is as large as the program's; keep it off the test's stack.
  auto Path = std::make_unique<WORKING_PATH>();
  DELETION Result;
  platform::PrepareForDeepWalk();
  std::fflush(stdout);
  testing::internal::CaptureStdout();
  for (const fs::path &Argument : Arguments)
    DeleteArgumentTree(*Path, Argument.c_str(), Result.Totals, Crew);
  std::fflush(stdout);
  // Captured output keeps the line ends of whatever the capture opened; the
  // program-level tests check the real console's.
  for (const char Character : testing::internal::GetCapturedStdout())
    if (Character != '\r')
      Result.Output += Character;
  return Result;
}

}  // namespace

DELETION DeleteWithLibrary(const std::vector<fs::path> &Arguments) { return Delete(Arguments, nullptr); }

DELETION DeleteWithLibrary(const std::vector<fs::path> &Arguments, int Workers) {
  WALK_CREW Crew(Workers);
  return Delete(Arguments, &Crew);
}

DELETION DeleteWithLibrary(const std::vector<fs::path> &Arguments, WALK_CREW &Crew) { return Delete(Arguments, &Crew); }

DELETION DeleteWithLibrary(const fs::path &Argument) { return DeleteWithLibrary(std::vector<fs::path>{Argument}); }

std::string DescribeTree(const fs::path &Root) {
  std::set<std::string> Lines;
  const auto Describe = [&](const fs::path &Entry) {
    std::string Line = Entry.lexically_relative(Root).generic_string() + " " + EntryMode(Entry);
    std::error_code Error;
    if (fs::is_regular_file(fs::symlink_status(LongForm(Entry), Error))) {
      std::ifstream File(LongForm(Entry), std::ios::binary);
      Line += " '" + std::string(std::istreambuf_iterator<char>(File), {}) + "'";
    }
    Lines.insert(Line);
  };
  Describe(Root);
  // Entries are named relative to the listed form by cutting it off: the
  // library takes "\\?\" for a root name, and lexically_relative then gives
  // every entry as the root itself, which would leave one line.
  const fs::path Listed = LongForm(Root);
  const size_t Skip = Listed.native().size() + 1;
  std::error_code Error;
  for (fs::recursive_directory_iterator It(Listed, Error), End; !Error && It != End; It.increment(Error))
    Describe(Root / fs::path(It->path().native().substr(Skip)));
  std::string Text;
  for (const std::string &Line : Lines)
    Text += Line + "\n";
  return Text;
}

fs::path MakeDeepChain(const fs::path &Root, const PATH_STRING &Name, int Depth) {
  fs::path Current = Root;
  for (int Level = 0; Level < Depth; ++Level) {
    Current /= Name;
    fs::create_directory(LongForm(Current));
  }
  return Current;
}

}  // namespace test_support
