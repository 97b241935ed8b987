// The walker on real trees, driven through the library: what goes, what
// stays, what is counted, and in which order directories are reported.
#include <gtest/gtest.h>

#include <fstream>

#include "tests/tool/test_support.h"
#include "tool/reparse_point.h"

using namespace test_support;

namespace {

std::string RemovingLine(const fs::path &Path) { return "Removing '" + Shown(Path) + "'\n"; }

bool Exists(const fs::path &Path) { return fs::exists(fs::symlink_status(LongForm(Path))); }

std::string ReadAll(const fs::path &Path) {
  std::ifstream File(LongForm(Path), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(File), {});
}

class TreeWalkerTest : public TREE_TEST {
protected:
  void SetUp() override {
    TREE_TEST::SetUp();
    if (HasFatalFailure())
      return;
    WriteFile(Outside / "keep.txt", 7);
    WriteFile(Outside / "inner" / "also kept", 3);
  }

  void ExpectOutsideUntouched() {
    EXPECT_EQ(ReadAll(Outside / "keep.txt"), "kkkkkkk");
    EXPECT_EQ(ReadAll(Outside / "inner" / "also kept"), "kkk");
  }
};

}  // namespace

TEST_F(TreeWalkerTest, NestedTreeWithFilesAtEveryLevelGoesDeepestFirst) {
  // Two subdirectories per level, three levels, a file of 100 + level bytes in each.
  uint64_t Bytes = 0, Files = 0, Directories = 0;
  std::vector<fs::path> Level = {Tree};
  for (int Depth = 0; Depth < 3; ++Depth) {
    std::vector<fs::path> Next;
    for (const fs::path &Directory : Level) {
      WriteFile(Directory / "file.bin", 100 + Depth);
      Bytes += 100 + Depth;
      ++Files;
      for (const char *Name : {"left", "right"}) {
        fs::create_directory(Directory / Name);
        Next.push_back(Directory / Name);
        ++Directories;
      }
    }
    Level = Next;
  }
  const DELETION Result = DeleteWithLibrary(Tree);
  EXPECT_FALSE(Exists(Tree));
  EXPECT_EQ(Result.Totals.Files, Files);
  EXPECT_EQ(Result.Totals.Bytes, Bytes);
  EXPECT_EQ(Result.Totals.Directories, Directories);  // the argument itself is not counted
  EXPECT_EQ(Result.Totals.Junctions, 0u);
  // Every directory is reported once, after everything below it.
  const size_t TreeLine = Result.Output.find(RemovingLine(Tree));
  ASSERT_NE(TreeLine, std::string::npos) << Result.Output;
  const size_t Left = Result.Output.find(RemovingLine(Tree / "left"));
  const size_t LeftRight = Result.Output.find(RemovingLine(Tree / "left" / "right"));
  ASSERT_NE(Left, std::string::npos);
  ASSERT_NE(LeftRight, std::string::npos);
  EXPECT_LT(LeftRight, Left);
  EXPECT_LT(Left, TreeLine);
  EXPECT_EQ(TreeLine + RemovingLine(Tree).size(), Result.Output.size());
  EXPECT_EQ(Result.Output.find("Could not"), std::string::npos) << Result.Output;
}

TEST_F(TreeWalkerTest, UnusualNamesAreDeleted) {
  const std::vector<fs::path> Names = {fs::path("with space"), fs::path("-rf"), fs::path("--"),
                                       fs::path(u8"Gr\u00fc\u00dfe \u00e9t\u00e9"), fs::path(u8"\u65e5\u672c"),
                                       fs::path(".hidden"), fs::path("a;b,c=d"), fs::path("#[x] {y}")};
  for (const fs::path &Name : Names) {
    fs::create_directory(Tree / Name);
    WriteFile(Tree / Name / Name, 5);
  }
  const DELETION Result = DeleteWithLibrary(Tree);
  EXPECT_FALSE(Exists(Tree)) << Result.Output;
  EXPECT_EQ(Result.Totals.Files, Names.size());
  EXPECT_EQ(Result.Totals.Directories, Names.size());
  EXPECT_EQ(Result.Output.find("Could not"), std::string::npos) << Result.Output;
}

TEST_F(TreeWalkerTest, FileOfFourGibibytesIsCountedInFull) {
  const uint64_t Big = (uint64_t{4} << 30) + 12345;
  ASSERT_TRUE(MakeSparseFile(Tree / "big.sparse", Big));
  WriteFile(Tree / "small", 5);
  const DELETION Result = DeleteWithLibrary(Tree);
  EXPECT_FALSE(Exists(Tree));
  EXPECT_EQ(Result.Totals.Files, 2u);
  EXPECT_EQ(Result.Totals.Bytes, Big + 5);
}

TEST_F(TreeWalkerTest, TreeTwoThousandLevelsDeepIsDeleted) {
  // Under Wine every call's cost grows with the path's depth (2,000 levels take
  // minutes there), so the emulated build walks a shallower tree of the same kind.
  const int Depth = RunsUnderWine() ? 500 : 2000;
  const fs::path Deepest = MakeDeepChain(Tree, Native("d"), Depth);
  WriteFile(Deepest / "f", 1);
  WriteFile(Tree / "d" / "f", 2);
  const DELETION Result = DeleteWithLibrary(Tree);
  EXPECT_FALSE(Exists(Tree));
  EXPECT_EQ(Result.Totals.Directories, static_cast<uint64_t>(Depth));
  EXPECT_EQ(Result.Totals.Files, 2u);
  EXPECT_EQ(Result.Output.find("Could not"), std::string::npos);
}

TEST_F(TreeWalkerTest, LinksToDirectoriesNeverLeadOutOfTheTree) {
  fs::create_directory(Tree / "sub");
  WriteFile(Tree / "sub" / "file", 4);
  ASSERT_TRUE(MakeSymbolicLink(Outside, Tree / "sub" / "to outside"));
  ASSERT_TRUE(MakeSymbolicLink(Outside / "inner", Tree / "to inner"));
  fs::create_directory(Tree / "inside target");
  WriteFile(Tree / "inside target" / "x", 1);
  ASSERT_TRUE(MakeSymbolicLink(Tree / "inside target", Tree / "to inside"));
  EXPECT_EQ(ClassifyReparsePoint(platform::PLACE{LongForm(Tree / "to inner").c_str(), nullptr}),
            RunsUnderWine() ? UnreadableLink : SymbolicLink);
  const DELETION Result = DeleteWithLibrary(Tree);
  ExpectOutsideUntouched();
  EXPECT_EQ(Result.Totals.Junctions, 0u);  // symbolic links are not counted
  EXPECT_EQ(Result.Output.find(Shown(Outside)), std::string::npos) << Result.Output;
  // The link's own directory and the real one inside went their ordinary way.
  EXPECT_FALSE(Exists(Tree / "sub" / "file"));
  EXPECT_FALSE(Exists(Tree / "inside target"));
}

TEST_F(TreeWalkerTest, LinksToFilesAreRemovedAsLinks) {
  if (RunsUnderWine())
    GTEST_SKIP() << "Wine 8 shows a Unix link to a file as a plain file and deletes its target through it; "
                    "Windows marks such a link as a reparse point and deletes the link";
  WriteFile(Tree / "real", 9);
  ASSERT_TRUE(MakeSymbolicLink(Outside / "keep.txt", Tree / "to outside file"));
  ASSERT_TRUE(MakeSymbolicLink(Tree / "real", Tree / "to inside file"));
  ASSERT_TRUE(MakeSymbolicLink(Scratch.Root / "nothing there", Tree / "dangling"));
  const DELETION Result = DeleteWithLibrary(Tree);
  ExpectOutsideUntouched();
  EXPECT_FALSE(Exists(Tree)) << Result.Output;
  EXPECT_EQ(Result.Output, RemovingLine(Tree));
}
