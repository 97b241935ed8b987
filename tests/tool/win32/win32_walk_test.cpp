// Windows-only behaviour of the walk: attributes that stand in the way, and
// reparse points whose data cannot be read (under Wine: Unix links).
#include <gtest/gtest.h>

#include <windows.h>

#include "tests/tool/test_support.h"
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

TEST_F(Win32WalkTest, ReparsePointWithUnreadableDataIsNeverEntered) {
  if (!RunsUnderWine())
    GTEST_SKIP() << "a reparse point whose data cannot be read is produced here through Wine's Unix links";
  fs::create_directory(Tree / "sub");
  WriteFile(Tree / "sub" / "file", 3);
  ASSERT_TRUE(MakeSymbolicLink(Outside, Tree / "sub" / "link"));
  const fs::path Link = Tree / "sub" / "link";
  const DWORD Attributes = GetFileAttributesW(LongForm(Link).c_str());
  ASSERT_NE(Attributes & FILE_ATTRIBUTE_REPARSE_POINT, 0u);
  ASSERT_EQ(ClassifyReparsePoint(platform::PLACE{LongForm(Link).c_str(), nullptr}), UnreadableLink);
  const DELETION Result = DeleteWithLibrary(Tree);
  EXPECT_TRUE(Exists(Outside / "inner" / "kept"));
  EXPECT_TRUE(Exists(Link));  // Wine cannot remove it either; it stays as it was
  EXPECT_FALSE(Exists(Tree / "sub" / "file"));
  EXPECT_EQ(Result.Output, "Could not remove '" + Shown(Link) + "'\n" +
                                       "Could not remove '" + Shown(Tree / "sub") + "'\n" +
                                       "Could not remove '" + Shown(Tree) + "'\n");
  EXPECT_EQ(Result.Totals.Files, 1u);
  EXPECT_EQ(Result.Totals.Directories, 1u);
  EXPECT_EQ(Result.Totals.Junctions, 0u);
}

TEST_F(Win32WalkTest, UnreadableReparsePointReachedThroughTheHostDriveIsNeverEntered) {
  if (!RunsUnderWine())
    GTEST_SKIP() << "the host drive Z: exists only under Wine";
  // The same case in a directory that Wine maps from the host's root.
  const SCRATCH_DIRECTORY HostScratch(fs::path(L"Z:\\tmp"));
  ASSERT_FALSE(HostScratch.Root.empty());
  const fs::path HostTree = HostScratch.Root / "tree";
  fs::create_directory(HostTree);
  WriteFile(HostTree / "file", 1);
  ASSERT_TRUE(MakeSymbolicLink(Outside, HostTree / "link"));
  const DELETION Result = DeleteWithLibrary(HostTree);
  EXPECT_TRUE(Exists(Outside / "inner" / "kept"));
  EXPECT_TRUE(Exists(HostTree / "link"));
  EXPECT_FALSE(Exists(HostTree / "file"));
  EXPECT_EQ(Result.Output, "Could not remove '" + Shown(HostTree / "link") + "'\n" +
                                       "Could not remove '" + Shown(HostTree) + "'\n");
}

TEST_F(Win32WalkTest, ArgumentThatIsAnUnreadableReparsePointIsLeftWhole) {
  if (!RunsUnderWine())
    GTEST_SKIP() << "a reparse point whose data cannot be read is produced here through Wine's Unix links";
  const fs::path Link = Scratch.Root / "link";
  ASSERT_TRUE(MakeSymbolicLink(Outside, Link));
  const RUN_RESULT Result = RunKrax({Link.native()}, Scratch.Root);
  EXPECT_EQ(Result.ExitStatus, 0);
  EXPECT_EQ(Result.Errors, "");
  EXPECT_EQ(Result.Output, NativeLines("Could not remove '" + Shown(Link) + "'\n"));
  EXPECT_TRUE(Exists(Outside / "inner" / "kept"));
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
