// POSIX-only behaviour of the walk: symbolic links and mount roots, mode bits
// that stand in the way, a directory swapped for a link, running out of
// descriptors, and entries whose paths outgrow the working path.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/file_system.h"
#include "tests/tool/posix/posix_support.h"
#include "tool/reparse_point.h"
#include "tool/tree_walker.h"

using namespace test_support;

namespace {

bool Exists(const fs::path &Path) { return fs::exists(fs::symlink_status(Path)); }

class PosixWalkTest : public TREE_TEST {};

// Makes a chain of directories named Name below Root until its path is at
// least Length long, relative to descriptors so that any length can be made.
// Returns the deepest directory's path; Deepest receives its descriptor.
std::string MakeChain(const fs::path &Root, const std::string &Name, size_t Length, int &Deepest) {
  std::string Path = Root.string();
  Deepest = open(Root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  while (Deepest >= 0 && Path.size() < Length) {
    const int Next = mkdirat(Deepest, Name.c_str(), 0755) == 0 ? openat(Deepest, Name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    close(Deepest);
    Deepest = Next;
    Path += "/" + Name;
  }
  return Path;
}

bool MakeFileAt(int Directory, const char *Name, size_t Bytes) {
  const int File = openat(Directory, Name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (File < 0)
    return false;
  const std::string Content(Bytes, 'k');
  const bool Written = write(File, Content.data(), Content.size()) == static_cast<ssize_t>(Content.size());
  close(File);
  return Written;
}

std::string Grouped(uint64_t Number) {
  std::string Digits = std::to_string(Number);
  for (size_t At = Digits.size(); At > 3; At -= 3)
    Digits.insert(At - 3, ".");
  return Digits;
}

std::string SummaryLine(uint64_t Files, uint64_t Directories, uint64_t Bytes) {
  return Grouped(Files) + "  file(s) deleted in " + Grouped(Directories) + " directories, skipping 0 Junctions, using " +
         Grouped(Bytes) + " bytes.\n";
}

bool EndsWith(const std::string &Text, const std::string &End) {
  return Text.size() >= End.size() && Text.compare(Text.size() - End.size(), End.size(), End) == 0;
}

}  // namespace

TEST(PosixWorkingPath, RootKeepsItsSeparator) {
  WORKING_PATH Path;
  for (const char *Root : {"/", "//", "/./", "/.."}) {
    ASSERT_EQ(Path.Resolve(Root), WORKING_PATH::RESOLUTION::Resolved);
    EXPECT_EQ(std::string(Path.Text()), "/");
  }
}

TEST_F(PosixWalkTest, LinksAreFileEntriesUnlessTheyLeadToADirectory) {
  // Counted as Windows counts its links: a file link is a file entry of size
  // 0, a directory link is not counted. Each is removed as the link it is.
  ASSERT_EQ(mkfifo((Outside / "fifo").c_str(), 0644), 0);
  fs::create_directory(Tree / "sub");
  WriteFile(Tree / "sub" / "file", 4);
  const struct {
    const char *Name;
    fs::path Target;
    bool FileEntry;
  } Links[] = {
      {"to file", Outside / "inner" / "kept", true},
      {"to fifo", Outside / "fifo", true},
      {"dangling", Scratch.Root / "nothing there", true},
      {"loop", "loop", true},
      {"to link to file", "to file", true},
      {"to directory", Outside, false},
      {"relative to directory", "../outside/inner", false},
      {"to link to directory", "to directory", false},
  };
  uint64_t FileEntries = 1;
  for (const auto &Link : Links) {
    ASSERT_TRUE(MakeSymbolicLink(Link.Target, Tree / Link.Name)) << Link.Name;
    FileEntries += Link.FileEntry ? 1 : 0;
  }
  const std::string OutsideBefore = DescribeTree(Outside);
  const DELETION Result = DeleteWithLibrary(Tree);
  EXPECT_FALSE(Exists(Tree)) << Result.Output;
  EXPECT_EQ(DescribeTree(Outside), OutsideBefore);
  EXPECT_EQ(Result.Totals.Files, FileEntries);
  EXPECT_EQ(Result.Totals.Bytes, 4u);
  EXPECT_EQ(Result.Totals.Directories, 1u);
  EXPECT_EQ(Result.Output, "Removing '" + Shown(Tree / "sub") + "'\nRemoving '" + Shown(Tree) + "'\n");
}

TEST_F(PosixWalkTest, FolderOfFileLinksGetsItsSummaryLine) {
  ASSERT_TRUE(MakeSymbolicLink(Outside / "inner" / "kept", Tree / "one"));
  ASSERT_TRUE(MakeSymbolicLink(Scratch.Root / "nothing there", Tree / "two"));
  const RUN_RESULT Result = RunKrax({Tree.string()}, Scratch.Root);
  EXPECT_EQ(Result.ExitStatus, 0);
  EXPECT_EQ(Result.Errors, "");
  EXPECT_EQ(Result.Output, "Removing '" + Shown(Tree) + "'\n" + SummaryLine(2, 0, 0));
  EXPECT_TRUE(Exists(Outside / "inner" / "kept"));
}

TEST_F(PosixWalkTest, ArgumentThatIsALinkIsRemovedAsALink) {
  const fs::path Link = Scratch.Root / "link";
  ASSERT_TRUE(MakeSymbolicLink(Outside, Link));
  const DELETION Result = DeleteWithLibrary(Link);
  EXPECT_FALSE(Exists(Link));
  EXPECT_TRUE(Exists(Outside / "inner" / "kept"));
  EXPECT_EQ(Result.Output, "Could not remove '" + Shown(Link) + "'\n");
  EXPECT_EQ(Result.Totals.Files + Result.Totals.Directories + Result.Totals.Junctions, 0u);
}

TEST_F(PosixWalkTest, DirectorySwappedForALinkIsNeverFollowed) {
  // The walker classified "victim" as a directory; by the time it opens it, a
  // link to the outside stands in its place.
  fs::create_directory(Tree / "victim");
  fs::remove(Tree / "victim");
  ASSERT_TRUE(MakeSymbolicLink(Outside / "inner", Tree / "victim"));
  platform::DIRECTORY_ENUMERATION Parent;
  ASSERT_TRUE(platform::OpenEnumeration(Parent, platform::PLACE{Tree.c_str(), nullptr}));
  bool Found = false;
  while (!Found && platform::ReadEntry(Parent))
    Found = std::strcmp(platform::EntryName(Parent), "victim") == 0;
  ASSERT_TRUE(Found);
  WORKING_PATH Path;
  ASSERT_EQ(Path.Resolve((Tree / "victim").c_str()), WORKING_PATH::RESOLUTION::Resolved);
  TREE_TOTALS Totals;
  DeleteDirectoryContents(Path, &Parent, Totals);
  platform::DIRECTORY_ENUMERATION Child;
  EXPECT_FALSE(platform::OpenEnumeration(Child, platform::PLACE{Path.Text(), &Parent}));
  platform::CloseEnumeration(Parent);
  EXPECT_TRUE(Exists(Outside / "inner" / "kept"));
  EXPECT_EQ(Totals.Files, 0u);
}

TEST_F(PosixWalkTest, DirectorySwappedForAMountPointIsNeverEntered) {
  // The walker classified "victim" as a directory of the tree; by the time it
  // opens it, another file system is mounted there.
  const fs::path MountPoint = Tree / "victim";
  fs::create_directory(MountPoint);
  if (mount("krax-test", MountPoint.c_str(), "tmpfs", 0, "size=1m") != 0)
    GTEST_SKIP() << "mounting a file system is not permitted here: " << std::strerror(errno);
  WriteFile(MountPoint / "on the mounted volume", 3);
  platform::DIRECTORY_ENUMERATION Parent;
  ASSERT_TRUE(platform::OpenEnumeration(Parent, platform::PLACE{Tree.c_str(), nullptr}));
  bool Found = false;
  while (!Found && platform::ReadEntry(Parent))
    Found = std::strcmp(platform::EntryName(Parent), "victim") == 0;
  WORKING_PATH Path;
  TREE_TOTALS Totals;
  if (Found && Path.Resolve(MountPoint.c_str()) == WORKING_PATH::RESOLUTION::Resolved)
    DeleteDirectoryContents(Path, &Parent, Totals);
  platform::CloseEnumeration(Parent);
  const bool Survived = Exists(MountPoint / "on the mounted volume");
  umount2(MountPoint.c_str(), MNT_DETACH);
  ASSERT_TRUE(Found);
  EXPECT_TRUE(Survived);
  EXPECT_EQ(Totals.Files, 0u);
}

TEST_F(PosixWalkTest, MountPointSwappedInIsNotOpenedUpEither) {
  // As above, for a user who may not search the mounted volume's root: its
  // mode belongs to another file system and stays as it is.
  if (geteuid() != 0 || access("/proc/self/fd", F_OK) != 0)
    GTEST_SKIP() << "needs root to mount a volume for an unprivileged user, and /proc";
  const fs::path MountPoint = Tree / "victim";
  fs::create_directory(MountPoint);
  GiveAway(Scratch.Root);
  if (mount("krax-test", MountPoint.c_str(), "tmpfs", 0, "size=1m,mode=000,uid=65534,gid=65534") != 0)
    GTEST_SKIP() << "mounting a file system is not permitted here: " << std::strerror(errno);
  const pid_t Child = fork();
  if (Child == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(UnprivilegedId) != 0 || setuid(UnprivilegedId) != 0)
      _exit(2);
    platform::DIRECTORY_ENUMERATION Parent;
    if (!platform::OpenEnumeration(Parent, platform::PLACE{Tree.c_str(), nullptr}))
      _exit(3);
    bool Found = false;
    while (!Found && platform::ReadEntry(Parent))
      Found = std::strcmp(platform::EntryName(Parent), "victim") == 0;
    static WORKING_PATH Path;
    if (!Found || Path.Resolve(MountPoint.c_str()) != WORKING_PATH::RESOLUTION::Resolved)
      _exit(4);
    TREE_TOTALS Totals;
    DeleteDirectoryContents(Path, &Parent, Totals);
    _exit(0);
  }
  int Status = -1;
  ASSERT_EQ(waitpid(Child, &Status, 0), Child);
  struct stat Mode;
  const int Stated = stat(MountPoint.c_str(), &Mode);
  umount2(MountPoint.c_str(), MNT_DETACH);
  ASSERT_TRUE(WIFEXITED(Status));
  ASSERT_EQ(WEXITSTATUS(Status), 0);
  ASSERT_EQ(Stated, 0);
  EXPECT_EQ(Mode.st_mode & 07777, 0u);
}

TEST_F(PosixWalkTest, DirectoriesWithoutWriteOrSearchPermissionAreOpenedUp) {
  if (geteuid() == 0 && access("/proc/self/fd", F_OK) != 0)
    GTEST_SKIP() << "no /proc to reach a directory pinned without search permission";
  for (const char *Name : {"no access", "read only", "no search"}) {
    fs::create_directories(Tree / Name / "sub");
    WriteFile(Tree / Name / "file", 10);
    WriteFile(Tree / Name / "sub" / "file", 10);
  }
  WriteFile(Tree / "read-only file", 10);
  fs::permissions(Tree / "read-only file", fs::perms::owner_read);
  chmod((Tree / "no access").c_str(), 0);
  chmod((Tree / "read only").c_str(), 0555);
  chmod((Tree / "no search").c_str(), 0600);
  // Root passes mode bits by privilege; run as an ordinary user so that they bind.
  CHILD_SETTINGS Settings;
  if (geteuid() == 0) {
    GiveAway(Scratch.Root);
    Settings.Unprivileged = true;
  }
  const RUN_RESULT Result = RunKraxWith({Tree.string()}, Scratch.Root, Settings);
  EXPECT_EQ(Result.ExitStatus, 0);
  EXPECT_EQ(Result.Errors, "");
  EXPECT_FALSE(Exists(Tree)) << Result.Output;
  EXPECT_NE(Result.Output.find("7  file(s) deleted in 6 directories, skipping 0 Junctions, using 70 bytes.\n"),
            std::string::npos)
      << Result.Output;
}

TEST_F(PosixWalkTest, EntriesItMayNotDeleteAreReportedUpToTheArgument) {
  if (geteuid() != 0)
    GTEST_SKIP() << "needs root to make a directory that an ordinary user cannot change";
  fs::create_directories(Tree / "mine" / "foreign");
  WriteFile(Tree / "mine" / "foreign" / "held", 6);
  WriteFile(Tree / "mine" / "free", 1);
  GiveAway(Scratch.Root);
  lchown((Tree / "mine" / "foreign").c_str(), 0, 0);
  lchown((Tree / "mine" / "foreign" / "held").c_str(), 0, 0);
  chmod((Tree / "mine" / "foreign").c_str(), 0755);
  CHILD_SETTINGS Settings;
  Settings.Unprivileged = true;
  const RUN_RESULT Result = RunKraxWith({Tree.string()}, Scratch.Root, Settings);
  EXPECT_EQ(Result.ExitStatus, 0);
  EXPECT_EQ(Result.Errors, "");
  EXPECT_EQ(Result.Output, "Could not delete '" + Shown(Tree / "mine" / "foreign" / "held") + "'\n" +
                               "Could not remove '" + Shown(Tree / "mine" / "foreign") + "'\n" +
                               "Could not remove '" + Shown(Tree / "mine") + "'\n" +
                               "Could not remove '" + Shown(Tree) + "'\n" +
                               "2  file(s) deleted in 2 directories, skipping 0 Junctions, using 7 bytes.\n");
  EXPECT_TRUE(Exists(Tree / "mine" / "foreign" / "held"));
  EXPECT_FALSE(Exists(Tree / "mine" / "free"));
}

TEST_F(PosixWalkTest, UnprivilegedRunDoesNotNeedToReachTheProgramByItsPath) {
  // As with a clone in root's home (mode 0700): the ordinary user cannot
  // search the folder that holds the program, and the run works all the same.
  if (geteuid() != 0)
    GTEST_SKIP() << "needs root to run the program as an ordinary user";
  fs::create_directory(Tree / "sub");
  WriteFile(Tree / "sub" / "file", 5);
  GiveAway(Scratch.Root);
  const fs::path Hidden = Scratch.Root / "root only";
  ASSERT_EQ(mkdir(Hidden.c_str(), 0700), 0) << std::strerror(errno);
  fs::copy_file(KRAX_PROGRAM, Hidden / "krax");
  CHILD_SETTINGS Settings;
  Settings.Unprivileged = true;
  Settings.Program = Hidden / "krax";
  const RUN_RESULT Result = RunKraxWith({Tree.string()}, Scratch.Root, Settings);
  EXPECT_EQ(Result.ExitStatus, 0);
  EXPECT_EQ(Result.Errors, "");
  EXPECT_FALSE(Exists(Tree)) << Result.Output;
  EXPECT_TRUE(Exists(Outside / "inner" / "kept"));
  EXPECT_NE(Result.Output.find("1  file(s) deleted in 1 directories, skipping 0 Junctions, using 5 bytes.\n"),
            std::string::npos)
      << Result.Output;
}

TEST_F(PosixWalkTest, MountPointIsLeftInPlace) {
  const fs::path MountPoint = Tree / "sub" / "mounted";
  fs::create_directories(MountPoint);
  WriteFile(Tree / "sub" / "file", 2);
  if (mount("krax-test", MountPoint.c_str(), "tmpfs", 0, "size=1m") != 0)
    GTEST_SKIP() << "mounting a file system is not permitted here: " << std::strerror(errno);
  WriteFile(MountPoint / "on the mounted volume", 3);
  EXPECT_EQ(ClassifyReparsePoint(platform::PLACE{MountPoint.c_str(), nullptr}), VolumeMountPoint);
  // Named as the argument, it is left whole too.
  const DELETION AsArgument = DeleteWithLibrary(MountPoint);
  EXPECT_EQ(AsArgument.Output, "Could not remove '" + Shown(MountPoint) + "'\n");
  const DELETION Result = DeleteWithLibrary(Tree);
  const bool Survived = Exists(MountPoint / "on the mounted volume");
  umount2(MountPoint.c_str(), MNT_DETACH);
  EXPECT_TRUE(Survived);
  EXPECT_EQ(Result.Output, "Could not remove '" + Shown(Tree / "sub") + "'\nCould not remove '" + Shown(Tree) + "'\n");
  EXPECT_EQ(Result.Totals.Files, 1u);
  EXPECT_EQ(Result.Totals.Directories, 1u);
}

TEST_F(PosixWalkTest, TreeDeeperThanTheDescriptorsAllowIsReported) {
  const fs::path Deepest = MakeDeepChain(Tree, "d", 100);
  WriteFile(Deepest / "f", 1);
  CHILD_SETTINGS Settings;
  Settings.DescriptorLimit = 40;
  const RUN_RESULT Result = RunKraxWith({Tree.string()}, Scratch.Root, Settings);
  EXPECT_EQ(Result.ExitStatus, 0);
  EXPECT_EQ(Result.Errors, "");
  EXPECT_TRUE(Exists(Deepest / "f"));
  // The level it could not open and every level above it say so, ending with the argument.
  const std::string Last = "Could not remove '" + Shown(Tree) + "'\n";
  ASSERT_GE(Result.Output.size(), Last.size());
  EXPECT_EQ(Result.Output.substr(Result.Output.size() - Last.size()), Last);
  EXPECT_EQ(Result.Output.find("Removing"), std::string::npos);
}

TEST_F(PosixWalkTest, EntriesBeyondTheWorkingPathAreReportedAndKept) {
  // A chain of 200-character names, built relative to descriptors, that ends
  // well beyond the 8191 characters a working path can hold.
  const std::string Name(200, 'n');
  std::vector<int> Levels = {open(Tree.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
  std::string Path = Tree.string();
  std::string FirstDirectoryCut, FirstFileCut;
  while (Path.size() < WorkingPathCapacity + 400) {
    ASSERT_EQ(mkdirat(Levels.back(), Name.c_str(), 0755), 0);
    const int File = openat(Levels.back(), "f", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(File, 0);
    close(File);
    // A file that does not fit inside a directory that still does.
    if (FirstFileCut.empty() && Path.size() + 2 > WorkingPathCapacity - 1 && Path.size() <= WorkingPathCapacity - 1)
      FirstFileCut = Path + "/f";
    Path += "/" + Name;
    if (FirstDirectoryCut.empty() && Path.size() > WorkingPathCapacity - 1)
      FirstDirectoryCut = Path;
    Levels.push_back(openat(Levels.back(), Name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_GE(Levels.back(), 0);
  }
  const int CutLevel = Levels[(FirstDirectoryCut.size() - Tree.string().size()) / (Name.size() + 1) - 1];
  const DELETION Result = DeleteWithLibrary(Tree);
  // What lies at and beyond the cut is still there.
  struct stat Status;
  EXPECT_EQ(fstatat(CutLevel, Name.c_str(), &Status, AT_SYMLINK_NOFOLLOW), 0);
  EXPECT_EQ(fstatat(Levels[Levels.size() - 2], "f", &Status, AT_SYMLINK_NOFOLLOW), 0);
  for (const int Level : Levels)
    close(Level);
  EXPECT_NE(Result.Output.find("Could not remove '" + FirstDirectoryCut + "'\n"), std::string::npos);
  if (!FirstFileCut.empty()) {
    EXPECT_NE(Result.Output.find("Could not delete '" + FirstFileCut + "'\n"), std::string::npos);
  }
  EXPECT_EQ(Result.Output.substr(Result.Output.size() - Shown(Tree).size() - 20),
            "Could not remove '" + Shown(Tree) + "'\n");
  EXPECT_EQ(Result.Output.find("Removing"), std::string::npos);
}

TEST_F(PosixWalkTest, ReaderOfTheOutputGoingAwayStopsNothing) {
  // Far more messages than one buffer of standard output holds.
  for (int Index = 0; Index < 300; ++Index)
    fs::create_directory(Tree / ("directory " + std::to_string(Index)));
  WriteFile(Tree / "f", 1);
  CHILD_SETTINGS Settings;
  Settings.OutputUnread = true;
  const RUN_RESULT Result = RunKraxWith({Tree.string()}, Scratch.Root, Settings);
  EXPECT_EQ(Result.ExitStatus, 0);
  EXPECT_EQ(Result.Errors, "");
  EXPECT_FALSE(Exists(Tree));
}

TEST_F(PosixWalkTest, NamesArePrintedAsTheirBytes) {
  // UTF-8 and a byte that is no UTF-8 at all: printed as they are, whatever the locale.
  const std::string Odd = "Gr\xc3\xbc\xc3\x9f" "e \xe2\x9c\x93 \xff-raw";
  fs::create_directory(Tree / Odd);
  WriteFile(Tree / Odd / "f", 1);
  const RUN_RESULT Result = RunKrax({Tree.string()}, Scratch.Root);
  EXPECT_EQ(Result.ExitStatus, 0);
  EXPECT_EQ(Result.Errors, "");
  EXPECT_EQ(Result.Output, "Removing '" + Tree.string() + "/" + Odd + "'\nRemoving '" + Tree.string() + "'\n" +
                               "1  file(s) deleted in 1 directories, skipping 0 Junctions, using 1 bytes.\n");
}

TEST_F(PosixWalkTest, SmallStackLimitStopsNoWalkTheWorkingPathCanHold) {
  // 2,100 levels, and the deepest chain of one-character names that the
  // working path still holds with a file at the bottom, each under "ulimit -s 256".
  const size_t Deepest = (WorkingPathCapacity - 1 - Tree.string().size() - 2) / 2;
  for (const size_t Depth : {size_t{2100}, Deepest}) {
    SCOPED_TRACE(std::to_string(Depth) + " levels");
    int Bottom = -1;
    const std::string Path = MakeChain(Tree, "d", Tree.string().size() + 2 * Depth, Bottom);
    ASSERT_GE(Bottom, 0);
    ASSERT_LE(Path.size() + 2, WorkingPathCapacity - 1);
    ASSERT_TRUE(MakeFileAt(Bottom, "f", 1));
    close(Bottom);
    CHILD_SETTINGS Settings;
    Settings.StackLimit = 256 * 1024;
    const RUN_RESULT Result = RunKraxWith({Tree.string()}, Scratch.Root, Settings);
    EXPECT_EQ(Result.ExitStatus, 0);
    EXPECT_EQ(Result.Errors, "");
    EXPECT_FALSE(Exists(Tree / "d"));
    EXPECT_TRUE(EndsWith(Result.Output, "Removing '" + Shown(Tree) + "'\n" + SummaryLine(1, Depth, 1)))
        << Result.Output.substr(Result.Output.size() > 400 ? Result.Output.size() - 400 : 0);
    EXPECT_EQ(Result.Output.find("Could not"), std::string::npos);
    fs::create_directory(Tree);
  }
}

TEST_F(PosixWalkTest, WalkRunsOnTheCallersStackWhenNoThreadCanBeMade) {
  if (geteuid() != 0)
    GTEST_SKIP() << "needs root to run as a user whose processes can be capped";
  if (!ThreadsCanBeCappedAway())
    GTEST_SKIP() << "a process capped at one process still starts threads here";
  int Bottom = -1;
  MakeChain(Tree, "d", Tree.string().size() + 2 * 300, Bottom);
  ASSERT_GE(Bottom, 0);
  ASSERT_TRUE(MakeFileAt(Bottom, "f", 3));
  close(Bottom);
  GiveAway(Scratch.Root);
  CHILD_SETTINGS Settings;
  Settings.Unprivileged = true;
  Settings.ProcessLimit = 1;
  const RUN_RESULT Result = RunKraxWith({Tree.string()}, Scratch.Root, Settings);
  EXPECT_EQ(Result.ExitStatus, 0);
  EXPECT_EQ(Result.Errors, "");
  EXPECT_FALSE(Exists(Tree));
  EXPECT_TRUE(EndsWith(Result.Output, "Removing '" + Shown(Tree) + "'\n" + SummaryLine(1, 300, 3))) << Result.Output;
}

TEST_F(PosixWalkTest, ArgumentLongerThanThePathLimitIsDeleted) {
  // The current directory 5,543 bytes deep, and a relative argument in it.
  int Bottom = -1;
  const std::string Deep = MakeChain(Tree, std::string(200, 'n'), 5543, Bottom);
  ASSERT_GE(Bottom, 0);
  ASSERT_GT(Deep.size(), size_t{PATH_MAX});
  ASSERT_EQ(mkdirat(Bottom, "tgt", 0755), 0);
  const int Target = openat(Bottom, "tgt", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(Target, 0);
  ASSERT_EQ(mkdirat(Target, "sub", 0755), 0);
  ASSERT_TRUE(MakeFileAt(Target, "file", 5));
  close(Target);
  close(Bottom);
  const RUN_RESULT Result = RunKrax({"tgt"}, Deep);
  EXPECT_EQ(Result.ExitStatus, 0);
  EXPECT_EQ(Result.Errors, "");
  EXPECT_EQ(Result.Output, "Removing '" + Deep + "/tgt/sub'\nRemoving '" + Deep + "/tgt'\n" + SummaryLine(1, 1, 5));
  EXPECT_FALSE(ExistsAnyLength(Deep + "/tgt"));
  EXPECT_TRUE(ExistsAnyLength(Deep));
}

TEST_F(PosixWalkTest, LongArgumentFollowsEarlierLinksButNeverItsLast) {
  // Beyond the path limit, through "hop", a link that stands for the chain's
  // first directory: an earlier component that is a link is followed as the
  // system would, while an argument that is itself a link is removed as one.
  const std::string Name(200, 'n');
  int Bottom = -1;
  const std::string Deep = MakeChain(Tree, Name, PATH_MAX + 400, Bottom);
  ASSERT_GE(Bottom, 0);
  ASSERT_TRUE(MakeSymbolicLink(Name, Tree / "hop"));
  const std::string ThroughHop = Shown(Tree / "hop") + Deep.substr(Tree.string().size() + 1 + Name.size());
  ASSERT_GT(ThroughHop.size(), size_t{PATH_MAX});
  ASSERT_EQ(mkdirat(Bottom, "target", 0755), 0);
  const int Target = openat(Bottom, "target", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(Target, 0);
  ASSERT_TRUE(MakeFileAt(Target, "file", 3));
  close(Target);
  ASSERT_EQ(symlinkat(Outside.c_str(), Bottom, "link"), 0);
  ASSERT_EQ(symlinkat((Outside / "inner" / "kept").c_str(), Bottom, "file link"), 0);
  close(Bottom);
  const std::string OutsideBefore = DescribeTree(Outside);
  const RUN_RESULT Result =
      RunKrax({ThroughHop + "/target", ThroughHop + "/link", ThroughHop + "/file link", ThroughHop + "/missing"}, Scratch.Root);
  EXPECT_EQ(Result.ExitStatus, 0);
  EXPECT_EQ(Result.Errors, "");
  EXPECT_EQ(Result.Output, "Removing '" + ThroughHop + "/target'\n" + "Could not remove '" + ThroughHop + "/link'\n" +
                               "Could not remove '" + ThroughHop + "/file link'\n" + "Could not remove '" + ThroughHop +
                               "/missing'\n" + SummaryLine(1, 0, 3));
  EXPECT_FALSE(ExistsAnyLength(Deep + "/target"));
  EXPECT_FALSE(ExistsAnyLength(Deep + "/link"));
  EXPECT_FALSE(ExistsAnyLength(Deep + "/file link"));
  EXPECT_TRUE(fs::is_symlink(Tree / "hop"));
  EXPECT_EQ(DescribeTree(Outside), OutsideBefore);
}
