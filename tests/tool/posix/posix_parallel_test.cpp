// The parallel walk on POSIX against the one-thread walk, through the program
// as a user runs it: entries an unprivileged user may not delete, mount
// points, names made of odd bytes, paths at the working path's limit, too few
// descriptors, too few threads, a reader of the output that goes away. And a
// directory swapped for a link, or mounts slipped in, while several workers
// delete around it, many times over: nothing outside the tree is ever touched.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <thread>

#include "tests/tool/posix/posix_support.h"
#include "tool/working_path.h"

using namespace test_support;

namespace {

#if defined(__SANITIZE_THREAD__)
constexpr int RaceRounds = 12;
#else
constexpr int RaceRounds = 40;
#endif

bool Exists(const fs::path &Path) { return fs::exists(fs::symlink_status(Path)); }

bool MakeFileAt(int Directory, const std::string &Name, size_t Bytes) {
  const int File = openat(Directory, Name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (File < 0)
    return false;
  const std::string Content(Bytes, 'k');
  const bool Written = write(File, Content.data(), Content.size()) == static_cast<ssize_t>(Content.size());
  close(File);
  return Written;
}

// Folders and files enough that several workers have work at once.
void MakeBusyFolders(const fs::path &Root, int Folders, int Files) {
  for (int Folder = 0; Folder < Folders; ++Folder) {
    const fs::path Path = Root / ("busy " + std::to_string(Folder));
    fs::create_directories(Path / "below");
    for (int File = 0; File < Files; ++File)
      WriteFile(Path / ("f" + std::to_string(File)), static_cast<size_t>(File * 37 % 500));
    WriteFile(Path / "below" / "g", 3);
  }
}

// The walk classifies a folder by statx of its name; this build's statx hands
// each name to the armed action (armed while it says so), which can widen the
// window between a classification and the opening at will.
std::function<bool(const char *Name)> AfterStatx;

// Runs Scenario in a child whose mounts are its own and die with it.
void InPrivateMounts(const std::function<void()> &Scenario) {
  const pid_t Child = fork();
  if (Child == 0)
    _exit(unshare(CLONE_NEWNS) || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr)
              ? 77 : (Scenario(), testing::Test::HasFailure()));
  int Status = -1;
  waitpid(Child, &Status, 0);
  if (Status == 77 << 8)
    GTEST_SKIP() << "no mount namespace of its own to be had here";
  EXPECT_EQ(Status, 0);
}

class PosixParallelTest : public TREE_TEST {
protected:
  struct OUTCOME {
    RUN_RESULT Result;
    std::string Left;  // everything left in the scratch folder, the outside included
  };

  // Builds the tree afresh at the same place, runs the program on Arguments
  // with Settings, and looks at what is left before Undo (unmounting) runs.
  OUTCOME RunAndLook(const std::function<void()> &Build, const CHILD_SETTINGS &Settings,
                     const std::vector<PATH_STRING> &Arguments, const std::function<void()> &Undo) {
    RemoveTree(Tree);
    fs::create_directory(Tree);
    Build();
    OUTCOME Outcome{RunKraxWith(Arguments, Scratch.Root, Settings), DescribeAnyLength(Scratch.Root)};
    if (Undo)
      Undo();
    return Outcome;
  }

  // One worker, the one-thread walk, is the reference; 2 and 8 must match it.
  void ExpectEveryCrewLikeOneThread(const std::function<void()> &Build, CHILD_SETTINGS Settings,
                                    const std::vector<PATH_STRING> &Arguments, const std::function<void()> &Undo = {}) {
    Settings.Workers = 1;
    const OUTCOME Reference = RunAndLook(Build, Settings, Arguments, Undo);
    EXPECT_EQ(Reference.Result.ExitStatus, 0);
    EXPECT_EQ(Reference.Result.Errors, "");
    for (const int Workers : {2, 8}) {
      SCOPED_TRACE(std::to_string(Workers) + " workers");
      Settings.Workers = Workers;
      const OUTCOME Outcome = RunAndLook(Build, Settings, Arguments, Undo);
      EXPECT_EQ(Outcome.Result.ExitStatus, 0);
      EXPECT_EQ(Outcome.Result.Errors, "");
      EXPECT_EQ(Outcome.Result.Output, Reference.Result.Output);
      EXPECT_EQ(Outcome.Left, Reference.Left);
    }
  }
};

}  // namespace

TEST_F(PosixParallelTest, EntriesAnUnprivilegedUserMayNotDeleteAreReportedInTheOneThreadOrder) {
  if (geteuid() != 0)
    GTEST_SKIP() << "needs root to make entries an ordinary user cannot change";
  const auto Build = [&] {
    MakeBusyFolders(Tree, 12, 6);
    for (const char *Name : {"foreign", "sticky", "no access", "read only"}) {
      fs::create_directories(Tree / "mixed" / Name / "sub");
      WriteFile(Tree / "mixed" / Name / "held", 6);
      WriteFile(Tree / "mixed" / Name / "sub" / "also held", 2);
    }
    WriteFile(Tree / "mixed" / "root's file", 9);
    GiveAway(Scratch.Root);
    // Root's folders: one the user cannot write, one where only owners delete.
    for (const char *Name : {"foreign", "sticky"})
      for (const fs::path &Path : {Tree / "mixed" / Name, Tree / "mixed" / Name / "held", Tree / "mixed" / Name / "sub",
                                   Tree / "mixed" / Name / "sub" / "also held"})
        ASSERT_EQ(lchown(Path.c_str(), 0, 0), 0);
    ASSERT_EQ(lchown((Tree / "mixed" / "root's file").c_str(), 0, 0), 0);
    chmod((Tree / "mixed" / "foreign").c_str(), 0755);
    chmod((Tree / "mixed" / "sticky").c_str(), 01777);
    chmod((Tree / "mixed" / "no access").c_str(), 0);
    chmod((Tree / "mixed" / "read only").c_str(), 0555);
  };
  CHILD_SETTINGS Settings;
  Settings.Unprivileged = true;
  ExpectEveryCrewLikeOneThread(Build, Settings, {Tree.string()});
}

TEST_F(PosixParallelTest, MountPointsInsideTheTreeAreLeftAsTheOneThreadWalkLeavesThem) {
  const std::vector<fs::path> MountPoints = {Tree / "first" / "mounted", Tree / "busy 3" / "below" / "mounted"};
  bool Mounted = true;
  const auto Build = [&] {
    MakeBusyFolders(Tree, 8, 5);
    fs::create_directories(Tree / "first");
    WriteFile(Tree / "first" / "beside", 2);
    for (const fs::path &MountPoint : MountPoints) {
      fs::create_directories(MountPoint);
      if (mount("krax-test", MountPoint.c_str(), "tmpfs", 0, "size=1m") != 0) {
        Mounted = false;
        return;
      }
      WriteFile(MountPoint / "on the mounted volume", 3);
    }
  };
  const auto Unmount = [&] {
    for (const fs::path &MountPoint : MountPoints)
      umount2(MountPoint.c_str(), MNT_DETACH);
  };
  Build();
  Unmount();
  if (!Mounted)
    GTEST_SKIP() << "mounting a file system is not permitted here: " << std::strerror(errno);
  ExpectEveryCrewLikeOneThread(Build, CHILD_SETTINGS{}, {Tree.string()}, Unmount);
}

TEST_F(PosixParallelTest, NamesOfOddBytesPrintAlikeWhateverTheirOrder) {
  const std::vector<std::string> Names = {"\xff\xfe raw",   "new\nline", "tab\there", "\x01\x1b[31m", "back\\slash",
                                          "%s%n%ls",        "'quoted'",  "-n",        " ",            "\xe2\x80\xae" "rtl",
                                          "\xc3\x28 broken", "*?[]",     "\"double\""};
  const auto Build = [&] {
    MakeBusyFolders(Tree, 4, 3);
    for (const std::string &Name : Names) {
      fs::create_directory(Tree / Name);
      WriteFile(Tree / Name / Name, Name.size());
      WriteFile(Tree / ("file " + Name), 1);
    }
    // One the user cannot delete, so that an odd name is printed as a file too.
    fs::create_directory(Tree / "\xff kept");
    WriteFile(Tree / "\xff kept" / "new\nheld", 4);
    if (geteuid() == 0) {
      GiveAway(Scratch.Root);
      ASSERT_EQ(lchown((Tree / "\xff kept").c_str(), 0, 0), 0);
    }
  };
  CHILD_SETTINGS Settings;
  Settings.Unprivileged = geteuid() == 0;
  ExpectEveryCrewLikeOneThread(Build, Settings, {Tree.string()});
}

TEST_F(PosixParallelTest, PathsAtTheWorkingPathsLimitAreReportedAsTheOneThreadWalkReportsThem) {
  // A chain of 200-character names to well beyond the limit; near it, at
  // every level, a file and a folder whose names just fit and ones that just
  // do not.
  const size_t Limit = WorkingPathCapacity - 1;
  const auto Build = [&] {
    const std::string Chain(200, 'c');
    int Level = open(Tree.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(Level, 0);
    size_t Length = Tree.string().size();
    while (Length < Limit + 400) {
      ASSERT_TRUE(MakeFileAt(Level, "f", 1));
      if (Length + 256 >= Limit) {
        for (const size_t Room : {Limit - Length - 1, Limit - Length}) {
          // A name of Room characters fills the working path exactly, or one past it.
          if (Room < 1 || Room > 255)
            continue;
          ASSERT_TRUE(MakeFileAt(Level, std::string(Room, 'f'), 2));
          ASSERT_EQ(mkdirat(Level, std::string(Room, 'd').c_str(), 0755), 0);
        }
      }
      ASSERT_EQ(mkdirat(Level, Chain.c_str(), 0755), 0);
      const int Next = openat(Level, Chain.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      close(Level);
      Level = Next;
      ASSERT_GE(Level, 0);
      Length += 1 + Chain.size();
    }
    close(Level);
    MakeBusyFolders(Tree, 4, 4);
  };
  ExpectEveryCrewLikeOneThread(Build, CHILD_SETTINGS{}, {Tree.string()});
}

TEST_F(PosixParallelTest, TooFewDescriptorsEndAsWithOneThread) {
  // Folders waiting for their removal hold descriptors the one-thread walk
  // has closed; wide levels fill them, and a chain deeper than the limit
  // allows fails where it fails with one thread.
  const auto Build = [&] {
    fs::path Deep = Tree / "deep";
    for (int Level = 0; Level < 60; ++Level) {
      fs::create_directories(Deep);
      for (int Leaf = 0; Leaf < 3; ++Leaf) {
        fs::create_directory(Deep / ("leaf " + std::to_string(Leaf)));
        WriteFile(Deep / ("leaf " + std::to_string(Leaf)) / "f", 1);
      }
      Deep /= "d";
    }
    MakeBusyFolders(Tree, 30, 2);
  };
  for (const int Descriptors : {40, 80}) {
    SCOPED_TRACE(std::to_string(Descriptors) + " descriptors");
    CHILD_SETTINGS Settings;
    Settings.DescriptorLimit = Descriptors;
    ExpectEveryCrewLikeOneThread(Build, Settings, {Tree.string()});
  }
}

TEST_F(PosixParallelTest, FewerThreadsThanWantedDeleteAsOneThreadDoes) {
  if (geteuid() != 0)
    GTEST_SKIP() << "needs root to run as a user whose processes can be capped";
  if (!ThreadsCanBeCappedAway())
    GTEST_SKIP() << "a process capped at one process still starts threads here";
  const auto Build = [&] {
    MakeBusyFolders(Tree, 20, 4);
    GiveAway(Scratch.Root);
  };
  // One process and two more threads at most: the walk's own thread and a
  // worker, or, at 1, no thread at all.
  for (const int Processes : {1, 3}) {
    SCOPED_TRACE(std::to_string(Processes) + " processes");
    CHILD_SETTINGS Settings;
    Settings.Unprivileged = true;
    Settings.ProcessLimit = Processes;
    ExpectEveryCrewLikeOneThread(Build, Settings, {Tree.string()});
  }
}

TEST_F(PosixParallelTest, ReaderOfTheOutputGoingAwayStopsNoWorker) {
  MakeBusyFolders(Tree, 300, 2);
  CHILD_SETTINGS Settings;
  Settings.OutputUnread = true;
  Settings.Workers = 8;
  const RUN_RESULT Result = RunKraxWith({Tree.string()}, Scratch.Root, Settings);
  EXPECT_EQ(Result.ExitStatus, 0);
  EXPECT_EQ(Result.Errors, "");
  EXPECT_FALSE(Exists(Tree));
}

TEST_F(PosixParallelTest, FolderSwappedForALinkWhileWorkersDeleteNeverLeadsOutside) {
  // While eight workers delete, another thread keeps swapping folders of the
  // tree, at two depths, for links to the outside and back. Whatever the walk
  // meets, nothing outside may change.
  const std::string OutsideBefore = DescribeAnyLength(Outside);
  for (int Round = 0; Round < RaceRounds; ++Round) {
    SCOPED_TRACE("round " + std::to_string(Round));
    RemoveTree(Tree);
    fs::create_directory(Tree);
    std::vector<fs::path> Victims;
    for (int Index = 0; Index < 12; ++Index) {
      const fs::path Folder = Tree / ("victim " + std::to_string(Index));
      fs::create_directories(Folder / "inner");
      for (int File = 0; File < 15; ++File) {
        WriteFile(Folder / ("f" + std::to_string(File)), 2);
        WriteFile(Folder / "inner" / ("g" + std::to_string(File)), 2);
      }
      Victims.push_back(Folder);
      Victims.push_back(Folder / "inner");
    }
    std::atomic<bool> Stop{false};
    std::thread Swapper([&] {
      for (size_t Turn = static_cast<size_t>(Round); !Stop.load(); ++Turn) {
        const fs::path &Victim = Victims[Turn % Victims.size()];
        const fs::path Aside = Victim.string() + " aside";
        if (rename(Victim.c_str(), Aside.c_str()) != 0)
          continue;
        if (symlink(Outside.c_str(), Victim.c_str()) == 0) {
          std::this_thread::yield();
          unlink(Victim.c_str());
        }
        rename(Aside.c_str(), Victim.c_str());
      }
    });
    const DELETION Result = DeleteWithLibrary({Tree}, 8);
    Stop.store(true);
    Swapper.join();
    ASSERT_TRUE(Exists(Outside / "inner" / "kept")) << Result.Output;
    ASSERT_EQ(DescribeAnyLength(Outside), OutsideBefore);
  }
}

extern "C" int statx(int Directory, const char *__restrict Name, int Flags, unsigned Mask,
                     struct statx *__restrict Status) noexcept {
  const int Result = static_cast<int>(syscall(SYS_statx, Directory, Name, Flags, Mask, Status));
  if (AfterStatx && !AfterStatx(Name))
    AfterStatx = nullptr;
  return Result;
}

TEST_F(PosixParallelTest, MountsSlippedInAfterClassificationAreLeftAsMountPoints) {
  // Once the walk classified a folder, "outside" (same file system) is bound
  // onto a subfolder or the argument, or a file system moved onto the argument:
  // left as a mount met at classification is, nothing on it deleted. Then bind
  // mounts come and go on 40 folders during walks with slower classifications.
  const fs::path Staging = Scratch.Root / "staging";
  fs::create_directory(Staging);
  const std::string Canary = DescribeTree(Outside);
  InPrivateMounts([&] {
    for (const auto &[Target, Flags] : {std::pair{Tree / "busy 0", MS_BIND}, {Tree, MS_BIND}, {Tree, MS_MOVE}})
      for (const int Workers : {1, 8}) {
        SCOPED_TRACE(Target.string() + (Flags == MS_BIND ? " bound" : " moved") + ", workers " + std::to_string(Workers));
        const std::string Classified = Target == Tree ? Tree.string() : "busy 0";
        const fs::path Source = Flags == MS_BIND ? Outside : Staging;
        DELETION Runs[2];
        for (const bool Late : {false, true}) {
          RemoveTree(Tree);
          MakeBusyFolders(Tree, 3, 4);
          ASSERT_TRUE(Flags == MS_BIND || mount("krax-test", Staging.c_str(), "tmpfs", 0, "size=1m") == 0);
          WriteFile(Staging / "on the mounted volume", 3);
          const std::string Before = DescribeTree(Source);
          AfterStatx = [&, Target = Target, Flags = Flags](const char *Name) {
            return Name != Classified || mount(Source.c_str(), Target.c_str(), nullptr, Flags, nullptr) != 0;
          };
          if (!Late)  // the reference, mounted before the classification
            std::exchange(AfterStatx, nullptr)(Classified.c_str());
          Runs[Late] = DeleteWithLibrary({Tree}, Workers);
          EXPECT_FALSE(AfterStatx);  // the mount was made
          EXPECT_EQ(DescribeTree(Target), Before);
          umount2(Target.c_str(), MNT_DETACH);
        }
        EXPECT_EQ(std::tie(Runs[1].Output, Runs[1].Totals.Files, Runs[1].Totals.Directories),
                  std::tie(Runs[0].Output, Runs[0].Totals.Files, Runs[0].Totals.Directories));
      }
    AfterStatx = [](const char *Name) { return std::strncmp(Name, "busy ", 5) != 0 || usleep(50) == 0; };
    for (int Round = 0; Round < 20; ++Round)
      for (const int Workers : {1, 8}) {
        RemoveTree(Tree);
        MakeBusyFolders(Tree, 40, 3);
        std::atomic<bool> Stop{false};
        std::thread Mounter([&] {
          for (int Turn = Round; !Stop.load(); ++Turn) {
            const fs::path Folder = Tree / ("busy " + std::to_string(Turn % 40));
            if (mount(Outside.c_str(), Folder.c_str(), nullptr, MS_BIND, nullptr) == 0)
              umount2(Folder.c_str(), MNT_DETACH);
          }
        });
        DeleteWithLibrary({Tree}, Workers);
        Stop.store(true);
        Mounter.join();
        ASSERT_EQ(DescribeTree(Outside), Canary) << "round " << Round << ", workers " << Workers;
      }
  });
  EXPECT_EQ(DescribeTree(Outside), Canary);
}
