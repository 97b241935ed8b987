// The walker on real trees, driven through the library: what goes, what
// stays, what is counted, and in which order directories are reported.
#include <gtest/gtest.h>

#include <fstream>
#include <random>

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

// Beside the tree, the canaries that links in it point to: files, an empty
// directory and an empty read-only one. None of them, their modes or their
// folders may change.
class TreeWalkerTest : public TREE_TEST {
protected:
  fs::path Empty = Outside / "empty";
  fs::path ReadOnly = Outside / "read only";
  std::string OutsideBefore;

  void SetUp() override {
    TREE_TEST::SetUp();
    if (HasFatalFailure())
      return;
    WriteFile(Outside / "keep.txt", 7);
    WriteFile(Outside / "inner" / "also kept", 3);
    fs::create_directory(Empty);
    ASSERT_TRUE(MakeReadOnlyDirectory(ReadOnly));
    OutsideBefore = DescribeTree(Outside);
  }

  void ExpectOutsideUntouched() {
    EXPECT_EQ(ReadAll(Outside / "keep.txt"), "kkkkkkk");
    EXPECT_EQ(ReadAll(Outside / "inner" / "also kept"), "kkk");
    EXPECT_EQ(DescribeTree(Outside), OutsideBefore);
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
  ASSERT_TRUE(MakeSymbolicLink(Empty, Tree / "to empty"));
  ASSERT_TRUE(MakeSymbolicLink(ReadOnly, Tree / "to read only"));
  fs::create_directory(Tree / "inside target");
  WriteFile(Tree / "inside target" / "x", 1);
  ASSERT_TRUE(MakeSymbolicLink(Tree / "inside target", Tree / "to inside"));
  EXPECT_EQ(ClassifyReparsePoint(platform::PLACE{LongForm(Tree / "to inner").c_str(), nullptr}), SymbolicLink);
  const DELETION Result = DeleteWithLibrary(Tree);
  ExpectOutsideUntouched();
  // Links to directories are not counted; the two real directories are. (What
  // "to inside" is when met depends on whether its target went first.)
  EXPECT_EQ(Result.Totals.Junctions, 0u);
  EXPECT_EQ(Result.Totals.Directories, 2u);
  EXPECT_EQ(Result.Totals.Bytes, 5u);
  EXPECT_EQ(Result.Output.find(Shown(Outside)), std::string::npos) << Result.Output;
  // The link's own directory and the real one inside went their ordinary way.
  EXPECT_FALSE(Exists(Tree / "sub"));
  EXPECT_FALSE(Exists(Tree / "inside target"));
  EXPECT_FALSE(Exists(Tree / "to empty"));
  EXPECT_FALSE(Exists(Tree / "to read only"));
}

TEST_F(TreeWalkerTest, LinksToFilesAreRemovedAsLinksAndCountedAsEmptyFiles) {
  WriteFile(Tree / "real", 9);
  fs::create_directory(Tree / "sub");
  ASSERT_TRUE(MakeSymbolicLink(Outside / "keep.txt", Tree / "to outside file"));
  ASSERT_TRUE(MakeSymbolicLink(Outside / "inner" / "also kept", Tree / "sub" / "to inner file"));
  ASSERT_TRUE(MakeSymbolicLink(Tree / "real", Tree / "to inside file"));
  const DELETION Result = DeleteWithLibrary(Tree);
  ExpectOutsideUntouched();
  EXPECT_FALSE(Exists(Tree)) << Result.Output;
  EXPECT_EQ(Result.Output, RemovingLine(Tree / "sub") + RemovingLine(Tree));
  // A file link is a file entry of its own size, 0: its target's bytes stay.
  EXPECT_EQ(Result.Totals.Files, 4u);
  EXPECT_EQ(Result.Totals.Bytes, 9u);
  EXPECT_EQ(Result.Totals.Directories, 1u);
}

TEST_F(TreeWalkerTest, ArgumentsThatAreLinksAreRemovedAsLinks) {
  const struct {
    const char *Name;
    fs::path Target;
  } Cases[] = {{"to a file", Outside / "keep.txt"}, {"to an empty directory", Empty}, {"to a read-only directory", ReadOnly}};
  for (const auto &Case : Cases) {
    SCOPED_TRACE(Case.Name);
    const fs::path Link = Scratch.Root / Case.Name;
    ASSERT_TRUE(MakeSymbolicLink(Case.Target, Link));
    const DELETION Result = DeleteWithLibrary(Link);
    EXPECT_FALSE(Exists(Link));
    // The link went in the contents step, so the final removal finds nothing.
    EXPECT_EQ(Result.Output, "Could not remove '" + Shown(Link) + "'\n");
    EXPECT_EQ(Result.Totals.Files + Result.Totals.Directories + Result.Totals.Junctions + Result.Totals.Bytes, 0u);
    ExpectOutsideUntouched();
  }
}

TEST_F(TreeWalkerTest, RandomTreesAreDeletedAsTheirModelSays) {
  // Files, directories and links of every kind the platform can list, placed at
  // random; links point only outside, so that what they are does not depend on
  // the order in which the walk meets their targets.
  enum KIND { File, Directory, FileLink, DirectoryLink, ReadOnlyLink, DanglingLink, KindCount };
  std::mt19937 Random(1307);
  for (int Round = 0; Round < 6; ++Round) {
    SCOPED_TRACE("round " + std::to_string(Round));
    const fs::path Root = Scratch.Root / ("round " + std::to_string(Round));
    fs::create_directory(Root);
    std::vector<fs::path> Folders = {Root};
    TREE_TOTALS Model;
    const int EntryCount = 4 + static_cast<int>(Random() % 24);
    for (int Index = 0; Index < EntryCount; ++Index) {
      const fs::path Entry = Folders[Random() % Folders.size()] / ("entry " + std::to_string(Index));
      KIND Kind = static_cast<KIND>(Random() % KindCount);
      if (Kind == DanglingLink && !ListsDanglingLinks())
        Kind = File;
      switch (Kind) {
      case File: {
        const size_t Bytes = Random() % 2000;
        WriteFile(Entry, Bytes);
        Model.Files += 1;
        Model.Bytes += Bytes;
        break;
      }
      case Directory:
        fs::create_directory(Entry);
        Folders.push_back(Entry);
        Model.Directories += 1;
        break;
      case FileLink:
      case DanglingLink:
        ASSERT_TRUE(MakeSymbolicLink(Kind == FileLink ? Outside / "keep.txt" : Outside / "nothing there", Entry));
        Model.Files += 1;
        break;
      case DirectoryLink:
      case ReadOnlyLink:
        ASSERT_TRUE(MakeSymbolicLink(Kind == DirectoryLink ? Empty : ReadOnly, Entry));
        break;
      case KindCount:
        break;
      }
    }
    const DELETION Result = DeleteWithLibrary(Root);
    EXPECT_FALSE(Exists(Root)) << Result.Output;
    EXPECT_EQ(Result.Totals.Files, Model.Files);
    EXPECT_EQ(Result.Totals.Bytes, Model.Bytes);
    EXPECT_EQ(Result.Totals.Directories, Model.Directories);
    EXPECT_EQ(Result.Totals.Junctions, 0u);
    EXPECT_EQ(Result.Output.find("Could not"), std::string::npos) << Result.Output;
    ExpectOutsideUntouched();
  }
}
