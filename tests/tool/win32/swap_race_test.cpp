// Folders of the tree swapped under Wine while the program deletes it: by a
// host process for links to a canary folder laid out alike, by a Windows
// program (moving a folder away and the canary in, and back). No canary entry
// may change, and a folder the program has begun cannot move while it has files.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "platform/win32/wine_host.h"
#include "tests/tool/test_support.h"
#include "tests/tool/win32/win32_support.h"

using namespace test_support;
using platform::wine_host::HostCall;

namespace {

constexpr int Folders = 6, Files = 40, OwnFiles = Files - Files / 8, Rounds = 10;

fs::path Entry(const fs::path &Folder, int Index) {
  return Folder / ((Index % 8 ? "f" : "s/f") + std::to_string(Index));
}

void LayOut(const fs::path &Folder) {
  fs::create_directories(Folder / "s");
  for (int Index = 0; Index < Files; ++Index)
    WriteFile(Entry(Folder, Index), 3);
}

// Name, mode and content of each entry LayOut made.
std::string DescribeLayout(const fs::path &Folder) {
  std::string Text = EntryMode(Folder) + EntryMode(Folder / "s");
  for (int Index = 0; Index < Files; ++Index) {
    std::ifstream File(LongForm(Entry(Folder, Index)), std::ios::binary);
    Text += "\n" + EntryMode(Entry(Folder, Index)) + std::string(std::istreambuf_iterator<char>(File), {});
  }
  return Text;
}

// The folder's own files left, looked at without opening them.
int Left(const fs::path &Folder) {
  int Count = 0;
  for (int Index = 0; Index < Files; ++Index)
    Count += Index % 8 && GetFileAttributesW(LongForm(Entry(Folder, Index)).c_str()) != INVALID_FILE_ATTRIBUTES;
  return Count;
}

class SwapRaceTest : public TREE_TEST {};

}  // namespace

TEST_F(SwapRaceTest, NoCanaryEntryChangesWhileTreeFoldersAreSwapped) {
  if (!RunsUnderWine())
    GTEST_SKIP() << "host processes exist only under Wine";
  const fs::path Canary = Scratch.Root / "canary", Park = Scratch.Root / "park";
  LayOut(Canary);
  const std::string CanaryBefore = DescribeLayout(Canary), HostCanary = HostPath(Canary);
  for (const auto &[Host, Workers] : std::initializer_list<std::pair<bool, int>>{{true, 1}, {true, 8}, {false, 1}, {false, 8}}) {
    std::atomic<int> MovedWithFiles{0};
    for (int Round = 0; Round < Rounds; ++Round) {
      RemoveTree(Tree);
      RemoveTree(Park);
      for (int Folder = 0; Folder < Folders; ++Folder)
        LayOut(Tree / ("d" + std::to_string(Folder)));
      fs::create_directory(Park);
      const std::string HostTree = HostPath(Tree) + "/d", HostPark = HostPath(Park) + "/d";
      std::atomic<bool> Done{false};
      std::thread Swapper([&, Host = Host] {
        // Only folders the program has begun: the canary in place of one it
        // has not reached would be the tree's to delete.
        for (int Folder = 0; !Done; Folder = (Folder + 1) % Folders, Sleep(1)) {
          const std::string In = HostTree + std::to_string(Folder), Away = HostPark + std::to_string(Folder);
          const fs::path InWindows = Tree / ("d" + std::to_string(Folder)), AwayWindows = Park / InWindows.filename();
          if (Left(InWindows) == OwnFiles)
            continue;
          if (Host && HostCall(82, reinterpret_cast<long long>(In.c_str()), reinterpret_cast<long long>(Away.c_str())) == 0)
            HostCall(88, reinterpret_cast<long long>(HostCanary.c_str()), reinterpret_cast<long long>(In.c_str()));
          if (Host || !MoveFileW(LongForm(InWindows).c_str(), LongForm(AwayWindows).c_str()))
            continue;  // the host's rename and link stay; a held folder refuses to move
          MovedWithFiles += Left(AwayWindows) > 0;
          if (MoveFileW(LongForm(Canary).c_str(), LongForm(InWindows).c_str())) {
            Sleep(10);
            for (int Try = 0; Try < 1000 && !MoveFileW(LongForm(InWindows).c_str(), LongForm(Canary).c_str()); ++Try)
              Sleep(1);  // the program may be looking at it
          }
          MoveFileW(LongForm(AwayWindows).c_str(), LongForm(InWindows).c_str());
        }
      });
      RunKraxWorkers(Workers, {Tree.native()}, Scratch.Root);
      Done = true;
      Swapper.join();
      ASSERT_EQ(DescribeLayout(Canary), CanaryBefore) << Host << " " << Workers << " workers, round " << Round;
    }
    EXPECT_EQ(MovedWithFiles, 0) << Workers << " workers";
  }
}
