// Windows-only behaviour of the walk: attributes that stand in the way, and,
// under Wine, Unix links, which Windows cannot tell from their targets, and
// entries the host cannot tell either.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <iterator>

#include "tests/tool/test_support.h"
#include "tests/tool/win32/win32_support.h"
#include "tool/reparse_point.h"
#include "tool/working_path.h"

using namespace test_support;

namespace {

bool Exists(const fs::path &Path) { return GetFileAttributesW(LongForm(Path).c_str()) != INVALID_FILE_ATTRIBUTES; }

class Win32WalkTest : public TREE_TEST {};

constexpr DWORD Obstructive = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

}  // namespace

TEST_F(Win32WalkTest, ReadOnlyHiddenAndSystemEntriesAreDeleted) {
  fs::create_directory(Tree / "guarded");
  WriteFile(Tree / "guarded" / "file", 8);
  WriteFile(Tree / "top", 2);
  for (const fs::path &Path : {Tree / "guarded" / "file", Tree / "guarded", Tree / "top", Tree})
    ASSERT_TRUE(SetFileAttributesW(Path.c_str(), Obstructive | (fs::is_directory(Path) ? FILE_ATTRIBUTE_DIRECTORY : 0)));
  ASSERT_NE(GetFileAttributesW((Tree / "top").c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
  const DELETION Result = DeleteWithLibrary(Tree);
  EXPECT_FALSE(Exists(Tree)) << Result.Output;
  EXPECT_EQ(Result.Totals.Files, 2u);
  EXPECT_EQ(Result.Totals.Bytes, 10u);
  EXPECT_EQ(Result.Totals.Directories, 1u);
  EXPECT_EQ(Result.Output.find("Could not"), std::string::npos) << Result.Output;
}

TEST_F(Win32WalkTest, FileThatCannotBeDeletedShowsThePrefixedPath) {
  WriteFile(Tree / "held", 4);
  // Open without delete sharing, so the deletion fails while it is held.
  const HANDLE Held = CreateFileW((Tree / "held").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(Held, INVALID_HANDLE_VALUE);
  const DELETION Result = DeleteWithLibrary(Tree);
  CloseHandle(Held);
  EXPECT_EQ(Result.Output, "Could not delete '\\\\?\\" + Shown(Tree / "held") + "'\n" +
                                       "Could not remove '" + Shown(Tree) + "'\n");
  EXPECT_EQ(Result.Totals.Files, 1u);  // counted all the same
  EXPECT_EQ(Result.Totals.Bytes, 4u);
}

TEST_F(Win32WalkTest, UnixLinkToADirectoryIsRemovedAsALink) {
  if (!RunsUnderWine())
    GTEST_SKIP() << "Unix links exist only under Wine";
  fs::create_directory(Tree / "sub");
  WriteFile(Tree / "sub" / "file", 3);
  const fs::path Link = Tree / "sub" / "link";
  ASSERT_TRUE(MakeSymbolicLink(Outside, Link));
  // What Windows shows of it: a reparse point whose data cannot be read.
  const DWORD Attributes = GetFileAttributesW(LongForm(Link).c_str());
  ASSERT_NE(Attributes & FILE_ATTRIBUTE_REPARSE_POINT, 0u);
  EXPECT_EQ(ClassifyReparsePoint(platform::PLACE{LongForm(Link).c_str(), nullptr}), SymbolicLink);
  const std::string OutsideBefore = DescribeTree(Outside);
  const DELETION Result = DeleteWithLibrary(Tree);
  EXPECT_EQ(DescribeTree(Outside), OutsideBefore);
  EXPECT_FALSE(Exists(Tree)) << Result.Output;
  EXPECT_EQ(Result.Output, "Removing '" + Shown(Tree / "sub") + "'\nRemoving '" + Shown(Tree) + "'\n");
  EXPECT_EQ(Result.Totals.Files, 1u);
  EXPECT_EQ(Result.Totals.Directories, 1u);
  EXPECT_EQ(Result.Totals.Junctions, 0u);
}

TEST_F(Win32WalkTest, UnixLinksReachedThroughTheHostDriveAreRemovedAsLinks) {
  if (!RunsUnderWine())
    GTEST_SKIP() << "the host drive Z: exists only under Wine";
  // The same in a directory that Wine maps from the host's root.
  const SCRATCH_DIRECTORY HostScratch(fs::path(L"Z:\\tmp"));
  ASSERT_FALSE(HostScratch.Root.empty());
  const fs::path HostTree = HostScratch.Root / "tree";
  fs::create_directory(HostTree);
  WriteFile(HostTree / "file", 1);
  ASSERT_TRUE(MakeSymbolicLink(Outside, HostTree / "link"));
  ASSERT_TRUE(MakeSymbolicLink(Outside / "inner" / "kept", HostTree / "file link"));
  const std::string OutsideBefore = DescribeTree(Outside);
  const DELETION Result = DeleteWithLibrary(HostTree);
  EXPECT_EQ(DescribeTree(Outside), OutsideBefore);
  EXPECT_FALSE(Exists(HostTree));
  EXPECT_EQ(Result.Output, "Removing '" + Shown(HostTree) + "'\n");
  EXPECT_EQ(Result.Totals.Files, 2u);
  EXPECT_EQ(Result.Totals.Bytes, 1u);
}

TEST_F(Win32WalkTest, ArgumentThatIsAUnixLinkIsRemovedAsALink) {
  if (!RunsUnderWine())
    GTEST_SKIP() << "Unix links exist only under Wine";
  // Through the program: the contents step removes the link, the final step
  // finds nothing and says so, and the target keeps its mode.
  const fs::path ReadOnly = Outside / "read only";
  ASSERT_TRUE(MakeReadOnlyDirectory(ReadOnly));
  fs::create_directory(Outside / "empty");
  const std::string OutsideBefore = DescribeTree(Outside);
  const fs::path Targets[] = {Outside / "inner" / "kept", Outside / "empty", ReadOnly, Outside};
  std::vector<PATH_STRING> Arguments;
  std::string Expected;
  for (size_t Index = 0; Index < std::size(Targets); ++Index) {
    const fs::path Link = Scratch.Root / ("link " + std::to_string(Index));
    ASSERT_TRUE(MakeSymbolicLink(Targets[Index], Link));
    Arguments.push_back(Link.native());
    Expected += "Could not remove '" + Shown(Link) + "'\n";
  }
  const RUN_RESULT Result = RunKrax(Arguments, Scratch.Root);
  EXPECT_EQ(Result.ExitStatus, 0);
  EXPECT_EQ(Result.Errors, "");
  EXPECT_EQ(Result.Output, NativeLines(Expected));
  for (const PATH_STRING &Link : Arguments)
    EXPECT_EQ(EntryMode(Link), "gone");
  EXPECT_EQ(DescribeTree(Outside), OutsideBefore);
}

TEST_F(Win32WalkTest, LinksWineDoesNotListKeepTheirFolder) {
  if (!RunsUnderWine())
    GTEST_SKIP() << "Wine hides Unix links to nothing and loops";
  // Wine lists neither a link to nothing nor a loop, so their folder cannot be
  // emptied; it stays and says so, and nothing else is touched.
  fs::create_directory(Tree / "hidden links");
  ASSERT_TRUE(MakeSymbolicLink(Tree / "nothing there", Tree / "hidden links" / "dangling"));
  const std::string HostFolder = HostPath(Tree / "hidden links");
  ASSERT_FALSE(HostFolder.empty());
  ASSERT_TRUE(HostEntryExists(HostFolder, "dangling"));
  WriteFile(Tree / "file", 2);
  const std::string OutsideBefore = DescribeTree(Outside);
  const DELETION Result = DeleteWithLibrary(Tree);
  EXPECT_EQ(Result.Output, "Could not remove '" + Shown(Tree / "hidden links") + "'\n" + "Could not remove '" + Shown(Tree) + "'\n");
  EXPECT_TRUE(HostEntryExists(HostFolder, "dangling"));
  EXPECT_FALSE(Exists(Tree / "file"));
  EXPECT_EQ(DescribeTree(Outside), OutsideBefore);
}

TEST_F(Win32WalkTest, EntriesTheHostCannotTellAreLeftAndReported) {
  if (!RunsUnderWine())
    GTEST_SKIP() << "only under Wine are entries asked of the host";
  // Wine lists the entries of a directory whose host path fits the host's path
  // limit even when their own paths do not; the host cannot then look at them
  // by path, so what they are cannot be told: they are left, and reported.
  const size_t HostPathLimit = 4096;
  const std::string HostTree = HostPath(Tree);
  ASSERT_FALSE(HostTree.empty());
  fs::path Deep = Tree;
  std::string HostDeep = HostTree;
  // Down to about 4,000 bytes of host path: still enumerable, while a name of
  // 200 more is not.
  while (HostDeep.size() < HostPathLimit - 120) {
    const std::string Name(std::min<size_t>(200, HostPathLimit - 100 - HostDeep.size()), 'n');
    Deep /= Name;
    HostDeep += "/" + Name;
    ASSERT_TRUE(CreateDirectoryW(LongForm(Deep).c_str(), nullptr));
  }
  const std::string Long(200, 'L');
  const std::string LongFolder(200, 'D');
  ASSERT_TRUE(MakeHostFile(HostDeep, Long));
  ASSERT_TRUE(MakeHostDirectory(HostDeep, LongFolder));
  ASSERT_GT(HostDeep.size() + 1 + Long.size(), HostPathLimit);
  const DELETION Result = DeleteWithLibrary(Tree);
  EXPECT_TRUE(HostEntryExists(HostDeep, Long));
  EXPECT_TRUE(HostEntryExists(HostDeep, LongFolder));
  EXPECT_NE(Result.Output.find("Could not delete '\\\\?\\" + Shown(Deep / Long) + "'\n"), std::string::npos) << Result.Output;
  EXPECT_NE(Result.Output.find("Could not remove '" + Shown(Deep / LongFolder) + "'\n"), std::string::npos) << Result.Output;
  EXPECT_NE(Result.Output.find("Could not remove '" + Shown(Deep) + "'\n"), std::string::npos);
  EXPECT_EQ(Result.Output.find("Removing"), std::string::npos) << Result.Output;
  EXPECT_EQ(Result.Totals.Files, 1u);  // counted as every file entry is, with no size it can vouch for
  EXPECT_EQ(Result.Totals.Bytes, 0u);
}

TEST(Win32WorkingPath, DriveRootKeepsItsSeparatorAndOtherTrailingOnesGo) {
  const auto Resolved = [](const wchar_t *Argument) {
    WORKING_PATH Path;
    return Path.Resolve(Argument) == WORKING_PATH::RESOLUTION::Resolved ? std::wstring(Path.Text()) : std::wstring();
  };
  for (const wchar_t *Root : {L"C:\\", L"C:/", L"C:\\\\", L"C:\\.\\"})
    EXPECT_EQ(Resolved(Root), L"\\\\?\\C:\\") << Root;
  for (const wchar_t *Directory : {L"C:\\dir\\", L"C:\\dir/", L"C:\\dir\\\\", L"C:\\dir\\/"})
    EXPECT_EQ(Resolved(Directory), L"\\\\?\\C:\\dir") << Directory;
}
