// The host's view under Wine, asked directly: each kind of entry the walker
// meets, paths the host cannot be asked about, and link removal that never
// reaches a target or a directory. On Windows itself the host is never asked.
#include <gtest/gtest.h>

#include <windows.h>

#include "platform/file_system.h"
#include "platform/win32/wine_host.h"
#include "tests/tool/test_support.h"
#include "tests/tool/win32/win32_support.h"

using namespace test_support;
using platform::wine_host::HOST_ENTRY;

namespace {

HOST_ENTRY LookAt(const fs::path &Path) { return platform::wine_host::LookAt(LongForm(Path).c_str()); }

class WineHostTest : public TREE_TEST {};

}  // namespace

TEST_F(WineHostTest, EveryKindOfEntryIsToldApart) {
  if (!RunsUnderWine()) {
    EXPECT_FALSE(platform::wine_host::UnderWine());
    EXPECT_EQ(LookAt(Outside), HOST_ENTRY::NoHost);
    GTEST_SKIP() << "on Windows the host is never asked";
  }
  EXPECT_TRUE(platform::wine_host::UnderWine());
  WriteFile(Tree / "file", 1);
  ASSERT_TRUE(MakeSymbolicLink(Outside / "inner" / "kept", Tree / "file link"));
  ASSERT_TRUE(MakeSymbolicLink(Outside / "inner", Tree / "directory link"));
  ASSERT_TRUE(MakeSymbolicLink(Tree / "nothing there", Tree / "dangling"));
  const struct {
    fs::path Path;
    HOST_ENTRY Expected;
  } Cases[] = {
      {Tree, HOST_ENTRY::Directory},
      {Tree / "file", HOST_ENTRY::File},
      {Tree / "FILE", HOST_ENTRY::File},  // names are looked up as Windows looks them up
      {Tree / "file link", HOST_ENTRY::SymbolicLink},
      {Tree / "directory link", HOST_ENTRY::SymbolicLink},
      {Tree / "dangling", HOST_ENTRY::SymbolicLink},
      {Tree / "missing", HOST_ENTRY::Missing},
      {Tree / "missing" / "below", HOST_ENTRY::Unknown},  // no host path to look at
  };
  for (const auto &Case : Cases)
    EXPECT_EQ(LookAt(Case.Path), Case.Expected) << Case.Path.string();
  // Only the long-path form is taken.
  EXPECT_EQ(platform::wine_host::LookAt((Tree / "file").c_str()), HOST_ENTRY::Unknown);
  EXPECT_EQ(platform::wine_host::LookAt(L"\\\\?\\"), HOST_ENTRY::Unknown);
}

TEST_F(WineHostTest, RemovingALinkNeverReachesItsTargetOrADirectory) {
  if (!RunsUnderWine()) {
    EXPECT_FALSE(platform::wine_host::RemoveLink(LongForm(Outside / "inner" / "kept").c_str()));
    EXPECT_TRUE(fs::exists(Outside / "inner" / "kept"));
    GTEST_SKIP() << "on Windows the host is never asked";
  }
  ASSERT_TRUE(MakeSymbolicLink(Outside / "inner" / "kept", Tree / "file link"));
  ASSERT_TRUE(MakeSymbolicLink(Outside / "inner", Tree / "directory link"));
  fs::create_directory(Tree / "empty");
  const std::string OutsideBefore = DescribeTree(Outside);
  EXPECT_TRUE(platform::wine_host::RemoveLink(LongForm(Tree / "file link").c_str()));
  EXPECT_TRUE(platform::wine_host::RemoveLink(LongForm(Tree / "directory link").c_str()));
  EXPECT_FALSE(platform::wine_host::RemoveLink(LongForm(Tree / "empty").c_str()));
  EXPECT_FALSE(platform::wine_host::RemoveLink(LongForm(Tree / "missing").c_str()));
  EXPECT_EQ(LookAt(Tree / "file link"), HOST_ENTRY::Missing);
  EXPECT_EQ(LookAt(Tree / "directory link"), HOST_ENTRY::Missing);
  EXPECT_EQ(LookAt(Tree / "empty"), HOST_ENTRY::Directory);
  EXPECT_EQ(DescribeTree(Outside), OutsideBefore);
}

TEST_F(WineHostTest, FoldersHoldingHostLinksAreToldApart) {
  if (!RunsUnderWine()) {
    EXPECT_FALSE(platform::ListingDependsOnOtherEntries(platform::PLACE{LongForm(Tree).c_str(), nullptr}));
    GTEST_SKIP() << "on Windows a listing shows every link, whatever its target";
  }
  fs::create_directories(Tree / "plain" / "sub");
  WriteFile(Tree / "plain" / "file", 1);
  fs::create_directory(Tree / "with a link");
  WriteFile(Tree / "with a link" / "file", 1);
  ASSERT_TRUE(MakeSymbolicLink(Outside / "inner", Tree / "with a link" / "link"));
  // Enough names that the listing takes more than one read of the host's.
  fs::create_directory(Tree / "crowded");
  for (int Index = 0; Index < 300; ++Index)
    WriteFile(Tree / "crowded" / ("a rather long file name to fill the listing " + std::to_string(Index)), 0);
  ASSERT_TRUE(MakeSymbolicLink(Outside / "inner" / "kept", Tree / "crowded" / "zz link"));
  const struct {
    fs::path Folder;
    bool MayHoldLinks;
  } Cases[] = {
      {Tree / "plain", false},
      {Tree / "plain" / "sub", false},
      {Tree / "with a link", true},
      {Tree / "crowded", true},
      {Tree / "missing", true},                // cannot be listed: cannot be vouched for
      {Tree / "with a link" / "link", true},  // a link itself is not listed through
  };
  for (const auto &Case : Cases) {
    EXPECT_EQ(platform::wine_host::MayHoldLinks(LongForm(Case.Folder).c_str()), Case.MayHoldLinks) << Case.Folder.string();
    EXPECT_EQ(platform::ListingDependsOnOtherEntries(platform::PLACE{LongForm(Case.Folder).c_str(), nullptr}),
              Case.MayHoldLinks);
  }
}
