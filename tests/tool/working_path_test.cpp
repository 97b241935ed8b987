// The working path: the long-path prefix, in-place extension and cutting
// back, and the refusal of anything that would not fit its 8192 characters.
#include <gtest/gtest.h>

#include <memory>

#include "platform/file_system.h"
#include "tests/tool/test_support.h"
#include "tool/working_path.h"

using test_support::Native;
using test_support::PATH_STRING;
namespace fs = std::filesystem;

TEST(LongPathPrefix, RecognisesOnlyTheWholePrefix) {
  EXPECT_TRUE(HasLongPathPrefix(Native("\\\\?\\C:\\Data").c_str()));
  EXPECT_TRUE(HasLongPathPrefix(Native("\\\\?\\").c_str()));
  EXPECT_FALSE(HasLongPathPrefix(Native("\\\\?").c_str()));
  EXPECT_FALSE(HasLongPathPrefix(Native("").c_str()));
  EXPECT_FALSE(HasLongPathPrefix(Native("\\\\.\\C:\\").c_str()));
  EXPECT_FALSE(HasLongPathPrefix(Native("C:\\Data").c_str()));
}

TEST(LongPathPrefix, DisplayFormDropsOnlyThePrefix) {
  EXPECT_EQ(PATH_STRING(DisplayForm(Native("\\\\?\\C:\\Data").c_str())), Native("C:\\Data"));
  EXPECT_EQ(PATH_STRING(DisplayForm(Native("\\\\server\\share").c_str())), Native("\\\\server\\share"));
  EXPECT_EQ(PATH_STRING(DisplayForm(Native("/tmp/x").c_str())), Native("/tmp/x"));
}

class WorkingPathTest : public testing::Test {
protected:
  std::unique_ptr<WORKING_PATH> Path = std::make_unique<WORKING_PATH>();
  PATH_STRING Prefix = platform::LongPathPrefix;
};

TEST_F(WorkingPathTest, ResolvesRelativeArgumentsLexicallyBehindThePrefix) {
  ASSERT_EQ(Path->Resolve(Native("a/./b/../c//d").c_str()), WORKING_PATH::RESOLUTION::Resolved);
  const PATH_STRING Expected = Prefix + (fs::current_path() / "a" / "c" / "d").native();
  EXPECT_EQ(PATH_STRING(Path->Text()), Expected);
  EXPECT_EQ(Path->Length(), Expected.size());
}

TEST_F(WorkingPathTest, NamesStartingWithADotAreNames) {
  const fs::path Here = fs::current_path();
  const struct {
    const char *Argument;
    fs::path Expected;
  } Rows[] = {{".x", Here / ".x"},      {"..x", Here / "..x"},           {".a/..b", Here / ".a" / "..b"},
              {"./.a", Here / ".a"},    {"x/..", Here},                  {"x/../.y", Here / ".y"},
              {".", Here},              {"../.z", Here.parent_path() / ".z"}, {"a/./b/.c/..", Here / "a" / "b"}};
  for (const auto &Row : Rows) {
    SCOPED_TRACE(Row.Argument);
    ASSERT_EQ(Path->Resolve(Native(Row.Argument).c_str()), WORKING_PATH::RESOLUTION::Resolved);
    EXPECT_EQ(PATH_STRING(Path->Text()), Prefix + Row.Expected.native());
  }
}

// At the very edge of the buffer. The resolution also writes into a block of
// exactly the room behind the prefix, where the address checker sees one
// character too many; lengths count the prefix and the path, not the
// terminator, so Capacity - 1 fills the buffer exactly.
TEST_F(WorkingPathTest, ResolvesUpToTheLastCharacterAndNotOneFurther) {
  const PATH_STRING Here = fs::current_path().native();
  const size_t Room = WorkingPathCapacity - Prefix.size();
  for (size_t Full = WorkingPathCapacity - 2; Full <= WorkingPathCapacity + 1; ++Full) {
    SCOPED_TRACE(Full);
    PATH_STRING Argument;
    size_t Missing = Full - Prefix.size() - Here.size();  // separators and names behind the current folder
    for (; Missing > 150; Missing -= 101)
      Argument += PATH_STRING(100, 'c') + platform::PathSeparator;
    Argument += PATH_STRING(Missing - 1, 'e');
    const PATH_STRING Expected = Here + platform::PathSeparator + Argument;
    const bool Fits = Full < WorkingPathCapacity;
    const auto Exact = std::make_unique<PATH_CHAR[]>(Room);
    const size_t Length = platform::ResolveFullPath(Argument.c_str(), Exact.get(), Room);
    if (Fits) {
      EXPECT_EQ(Length, Expected.size());
      EXPECT_EQ(PATH_STRING(Exact.get()), Expected);
    } else {
      EXPECT_GE(Length, Room);
    }
    EXPECT_EQ(Path->Resolve(Argument.c_str()), Fits ? WORKING_PATH::RESOLUTION::Resolved : WORKING_PATH::RESOLUTION::TooLong);
    EXPECT_EQ(PATH_STRING(Path->Text()), Prefix + (Fits ? Expected : PATH_STRING()));
  }
}

TEST_F(WorkingPathTest, RefusesWhatWouldNotFitAndKeepsThePath) {
  ASSERT_EQ(Path->Resolve(fs::current_path().c_str()), WORKING_PATH::RESOLUTION::Resolved);
  // Fill up to exactly the last character before the terminator.
  const size_t Room = WorkingPathCapacity - 1 - Path->Length();
  const PATH_STRING Filler(Room - 1, 'f');
  ASSERT_TRUE(Path->AppendEntry(Filler.c_str()));
  EXPECT_EQ(Path->Length(), WorkingPathCapacity - 1);
  Path->CutBack(Path->Length() - Filler.size() - 1);
  const PATH_STRING Before = Path->Text();
  const PATH_STRING OneTooMany(Room, 'f');
  EXPECT_FALSE(Path->AppendEntry(OneTooMany.c_str()));
  EXPECT_EQ(PATH_STRING(Path->Text()), Before);
}

TEST_F(WorkingPathTest, ReportsArgumentsThatCannotBeResolvedOrDoNotFit) {
  EXPECT_EQ(Path->Resolve(Native("").c_str()), WORKING_PATH::RESOLUTION::Failed);
  EXPECT_EQ(PATH_STRING(Path->Text()), Prefix);
  PATH_STRING Long;
  for (int Index = 0; Index < 4200; ++Index)
    Long += Native("x/");
  EXPECT_EQ(Path->Resolve(Long.c_str()), WORKING_PATH::RESOLUTION::TooLong);
  EXPECT_EQ(PATH_STRING(Path->Text()), Prefix);
}

TEST_F(WorkingPathTest, TrailingSeparatorsAreDropped) {
  const PATH_STRING Separator(1, platform::PathSeparator);
  ASSERT_EQ(Path->Resolve(Native("dir").c_str()), WORKING_PATH::RESOLUTION::Resolved);
  const PATH_STRING Expected = Path->Text();
  for (const PATH_STRING &Suffix : {Separator, Separator + Separator, Native("/"), Native("//"), Native("/.") + Separator}) {
    const PATH_STRING Argument = Native("dir") + Suffix;
    ASSERT_EQ(Path->Resolve(Argument.c_str()), WORKING_PATH::RESOLUTION::Resolved);
    EXPECT_EQ(PATH_STRING(Path->Text()), Expected);
    EXPECT_EQ(Path->Length(), Expected.size());
  }
}
