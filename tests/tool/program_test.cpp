// The built program as a user runs it: exact standard output, nothing on
// standard error, exit status 0 whatever happened.
#include <gtest/gtest.h>

#include "platform/file_system.h"
#include "tests/tool/test_support.h"

using namespace test_support;

namespace {

constexpr char UsageText[] =
    "Fast recursive directory tree delete utility.\n"
    "Parameter error. Usage: KRAX [drive:][path\\]directory. Version 5.2\n";

class ProgramTest : public testing::Test {
protected:
  SCRATCH_DIRECTORY Scratch;

  void SetUp() override { ASSERT_FALSE(Scratch.Root.empty()); }

  RUN_RESULT Run(const std::vector<fs::path> &Arguments) {
    std::vector<PATH_STRING> Native;
    for (const fs::path &Argument : Arguments)
      Native.push_back(Argument.native());
    return RunKrax(Native, Scratch.Root);
  }

  static void ExpectClean(const RUN_RESULT &Result) {
    EXPECT_EQ(Result.ExitStatus, 0);
    EXPECT_EQ(Result.Errors, "");
  }
};

}  // namespace

TEST_F(ProgramTest, WithoutArgumentsPrintsBannerAndUsage) {
  const RUN_RESULT Result = Run({});
  ExpectClean(Result);
  EXPECT_EQ(Result.Output, NativeLines(UsageText));
}

TEST_F(ProgramTest, EmptyDirectoryPrintsOneLineAndNoSummary) {
  const fs::path Tree = Scratch.Root / "empty";
  fs::create_directory(Tree);
  const RUN_RESULT Result = Run({Tree});
  ExpectClean(Result);
  EXPECT_EQ(Result.Output, NativeLines("Removing '" + Shown(Tree) + "'\n"));
  EXPECT_FALSE(fs::exists(Tree));
}

TEST_F(ProgramTest, SeveralArgumentsShareOneSummary) {
  const fs::path First = Scratch.Root / "first", Second = Scratch.Root / "second";
  fs::create_directories(First / "sub");
  fs::create_directory(Second);
  WriteFile(First / "sub" / "a", 10);
  WriteFile(First / "b", 20);
  WriteFile(Second / "c", 1500);
  const RUN_RESULT Result = Run({First, Second});
  ExpectClean(Result);
  EXPECT_EQ(Result.Output, NativeLines("Removing '" + Shown(First / "sub") + "'\n" +
                                       "Removing '" + Shown(First) + "'\n" +
                                       "Removing '" + Shown(Second) + "'\n" +
                                       "3  file(s) deleted in 1 directories, skipping 0 Junctions, using 1.530 bytes.\n"));
}

TEST_F(ProgramTest, MissingAndFileArgumentsAreReportedAndTheRunGoesOn) {
  const fs::path File = Scratch.Root / "plain file", Missing = Scratch.Root / "missing", Tree = Scratch.Root / "tree";
  WriteFile(File, 3);
  fs::create_directory(Tree);
  WriteFile(Tree / "x", 1);
  const RUN_RESULT Result = Run({Missing, File, Tree});
  ExpectClean(Result);
  EXPECT_EQ(Result.Output, NativeLines("Could not remove '" + Shown(Missing) + "'\n" +
                                       "Could not remove '" + Shown(File) + "'\n" +
                                       "Removing '" + Shown(Tree) + "'\n" +
                                       "1  file(s) deleted in 0 directories, skipping 0 Junctions, using 1 bytes.\n"));
  EXPECT_TRUE(fs::exists(File));  // a file argument is never deleted
}

TEST_F(ProgramTest, RelativeArgumentsAreShownAbsolute) {
  fs::create_directory(Scratch.Root / "-rf");
  fs::create_directory(Scratch.Root / "with space");
  const RUN_RESULT Result = Run({"-rf", "with space"});
  ExpectClean(Result);
  EXPECT_EQ(Result.Output, NativeLines("Removing '" + Shown(Scratch.Root / "-rf") + "'\n" +
                                       "Removing '" + Shown(Scratch.Root / "with space") + "'\n"));
}

// Names that start with a dot are names: only "." and ".." move. Run two
// levels down, so that a name taken for ".." would reach a folder with
// siblings that must stay.
TEST_F(ProgramTest, DotNamedArgumentsRemoveExactlyTheFolderMeant) {
  const fs::path Work = Scratch.Root / "work", Here = Work / "here";
  for (const char *Name : {".x", "..x", ".a", "p/q", "r/s"}) {
    fs::create_directories(Here / Name);
    WriteFile(Here / Name / "f", 1);
  }
  for (const char *Name : {"x", ".y", "p/q2"})
    fs::create_directories(Here / Name);
  fs::create_directory(Work / "kept");
  std::vector<PATH_STRING> Arguments;
  for (const char *Argument : {".x", "..x", ".a", "p/./q", "r/s/.."})
    Arguments.push_back(fs::path(Argument).make_preferred().native());
  const RUN_RESULT Result = RunKrax(Arguments, Here);
  ExpectClean(Result);
  EXPECT_EQ(Result.Output, NativeLines("Removing '" + Shown(Here / ".x") + "'\n" + "Removing '" + Shown(Here / "..x") +
                                       "'\n" + "Removing '" + Shown(Here / ".a") + "'\n" + "Removing '" +
                                       Shown(Here / "p" / "q") + "'\n" + "Removing '" + Shown(Here / "r" / "s") + "'\n" +
                                       "Removing '" + Shown(Here / "r") + "'\n" +
                                       "5  file(s) deleted in 1 directories, skipping 0 Junctions, using 5 bytes.\n"));
  for (const char *Gone : {".x", "..x", ".a", "p/q", "r"})
    EXPECT_FALSE(fs::exists(Here / Gone)) << Gone;
  for (const fs::path &Kept : {Here / "x", Here / ".y", Here / "p" / "q2", Work / "kept"})
    EXPECT_TRUE(fs::is_directory(Kept)) << Kept;
}

TEST_F(ProgramTest, TrailingSeparatorsStillNameTheDirectory) {
  // As tab completion writes a directory's name.
  for (const char *Suffix : {"/", "//", "/./"}) {
    const fs::path Tree = Scratch.Root / "completed";
    fs::create_directory(Tree);
    WriteFile(Tree / "f", 2);
    PATH_STRING Argument = Native(std::string("completed") + Suffix);
    for (PATH_CHAR &Character : Argument)
      if (Character == '/')
        Character = platform::PathSeparator;
    const RUN_RESULT Result = RunKrax({Argument}, Scratch.Root);
    ExpectClean(Result);
    EXPECT_EQ(Result.Output, NativeLines("Removing '" + Shown(Tree) + "'\n" +
                                         "1  file(s) deleted in 0 directories, skipping 0 Junctions, using 2 bytes.\n"));
    EXPECT_FALSE(fs::exists(Tree));
  }
}

TEST_F(ProgramTest, SummaryGroupsThousands) {
  const fs::path Tree = Scratch.Root / "many";
  fs::create_directory(Tree);
  for (int Index = 0; Index < 1001; ++Index)
    WriteFile(Tree / ("f" + std::to_string(Index)), Index == 0 ? 1000 : 1);
  const RUN_RESULT Result = Run({Tree});
  ExpectClean(Result);
  EXPECT_EQ(Result.Output, NativeLines("Removing '" + Shown(Tree) + "'\n" +
                                       "1.001  file(s) deleted in 0 directories, skipping 0 Junctions, using 2.000 bytes.\n"));
}

TEST_F(ProgramTest, ArgumentLongerThanTheWorkingPathIsReportedAsGiven) {
  fs::create_directory(Scratch.Root / "x");
  std::string Long;
  for (int Index = 0; Index < 4500; ++Index)
    Long += "x/";
  const RUN_RESULT Result = Run({fs::path(Long)});
  ExpectClean(Result);
  EXPECT_EQ(Result.Output, NativeLines("Could not remove '" + Long + "'\n"));
  EXPECT_TRUE(fs::exists(Scratch.Root / "x"));
}
