// The parallel walk against the one-thread walk: on identical trees, with 1,
// 2 and 8 workers and a crew larger than the processor count that grows
// whenever work waits, the same output byte for byte, the same counts, the same
// entries left in and outside the tree. Trees hold nested folders, files of
// many sizes, links leading out of the tree and into it (to entries the walk
// deletes before or after it meets the link), links to nothing, names with
// odd characters; and a crew that gets fewer threads than it asks for, or
// none, deletes all the same.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <random>

#include "tests/tool/test_support.h"
#include "tool/walk_crew.h"

using namespace test_support;

namespace {

bool SameTotals(const TREE_TOTALS &Left, const TREE_TOTALS &Right) {
  return Left.Files == Right.Files && Left.Bytes == Right.Bytes && Left.Directories == Right.Directories &&
         Left.Junctions == Right.Junctions;
}

std::string Describe(const TREE_TOTALS &Totals) {
  return std::to_string(Totals.Files) + " files, " + std::to_string(Totals.Bytes) + " bytes, " +
         std::to_string(Totals.Directories) + " directories, " + std::to_string(Totals.Junctions) + " junctions";
}

// Names that are legal on both builds but unusual: spaces, leading dashes,
// format directives, quotes, characters beyond ASCII.
const std::vector<fs::path> &OddNames() {
  static const std::vector<fs::path> Names = {
      fs::path(" leading space"), fs::path("-rf"), fs::path("--"), fs::path("%s%n%d%ls"), fs::path("x'quote'"),
      fs::path("a;b,c=d"), fs::path("#[x] {y}"), fs::path(u8"Gr\u00fc\u00dfe \u00e9t\u00e9"), fs::path(u8"\u65e5\u672c"),
      fs::path(".hidden"), fs::path("..."), fs::path("~$tmp"),
  };
  return Names;
}

// One entry of a generated tree, relative to it, in the order it is made.
struct TREE_ENTRY {
  enum KIND { Folder, File, SparseFile, LinkOutToFile, LinkOutToFolder, LinkInToFolder, LinkInToFile, Dangling, KindCount };
  fs::path Relative;
  KIND Kind;
  uint64_t Size = 0;
  fs::path Target;  // for links into the tree: an entry made before
};

// A tree drawn from Seed: folders nested at random, files of sizes around
// the usual block and page boundaries, links of every kind, and one folder
// with more files than a batch takes.
std::vector<TREE_ENTRY> DrawTree(unsigned Seed, int EntryCount, int LinkShare) {
  static const uint64_t Sizes[] = {0, 1, 7, 100, 511, 4095, 4096, 4097, 65536, 100003};
  std::mt19937 Random(Seed);
  std::vector<TREE_ENTRY> Entries;
  std::vector<fs::path> Folders = {fs::path()}, Files;
  const auto NameFor = [&](int Index) {
    if (Random() % 4 == 0) {
      const fs::path &Odd = OddNames()[Random() % OddNames().size()];
      return fs::path(Odd.native() + Native(" " + std::to_string(Index)));
    }
    return fs::path("e" + std::to_string(Index));
  };
  for (int Index = 0; Index < EntryCount; ++Index) {
    TREE_ENTRY Entry;
    Entry.Relative = Folders[Random() % Folders.size()] / NameFor(Index);
    const unsigned Draw = Random() % 100;
    if (Draw < 25) {
      Entry.Kind = TREE_ENTRY::Folder;
      Folders.push_back(Entry.Relative);
    } else if (Draw < static_cast<unsigned>(100 - LinkShare)) {
      Entry.Kind = Random() % 40 == 0 ? TREE_ENTRY::SparseFile : TREE_ENTRY::File;
      Entry.Size = Entry.Kind == TREE_ENTRY::SparseFile ? (uint64_t{5} << 30) + Random() % 1000 : Sizes[Random() % 10];
      Files.push_back(Entry.Relative);
    } else {
      Entry.Kind = static_cast<TREE_ENTRY::KIND>(TREE_ENTRY::LinkOutToFile + Random() % 5);
      if (Entry.Kind == TREE_ENTRY::LinkInToFolder && Folders.size() > 1)
        Entry.Target = Folders[1 + Random() % (Folders.size() - 1)];
      else if (Entry.Kind == TREE_ENTRY::LinkInToFile && !Files.empty())
        Entry.Target = Files[Random() % Files.size()];
      else if (Entry.Kind == TREE_ENTRY::LinkInToFolder || Entry.Kind == TREE_ENTRY::LinkInToFile)
        Entry.Kind = TREE_ENTRY::LinkOutToFolder;
    }
    Entries.push_back(Entry);
  }
  // More files than one batch holds, in a folder of their own.
  Entries.push_back(TREE_ENTRY{fs::path("crowded"), TREE_ENTRY::Folder, 0, fs::path()});
  for (int Index = 0; Index < 150; ++Index)
    Entries.push_back(
        TREE_ENTRY{fs::path("crowded") / ("f" + std::to_string(Index)), TREE_ENTRY::File, Sizes[Index % 10], fs::path()});
  return Entries;
}

class ParallelWalkTest : public TREE_TEST {
protected:
  struct OUTCOME {
    std::string Output;
    TREE_TOTALS Totals;
    std::string Left;  // every entry left in the scratch folder, the outside included
  };

  // Builds the tree afresh at the same place, deletes Arguments with Workers
  // (0: the one-thread walk, no crew at all; Grown: a crew of one more worker
  // than processors, to which a second passes with every batch and the
  // processors look all idle and all busy by turns, so that it grows whenever
  // work waits and rests again), and looks at what is left.
  static constexpr int Grown = -1;
  static WALK_CREW::TIMES IdleAndBusyByTurns() {
    static std::atomic<uint64_t> Looks{0};
    const uint64_t Look = Looks.fetch_add(1) + 1, Second = 1000000000;
    return WALK_CREW::TIMES{Look * Second, 1 + Look / 2 * MaximumWalkWorkers * Second};
  }
  OUTCOME DeleteAndLook(const std::function<void()> &Build, int Workers, const std::vector<fs::path> &Arguments) {
    RemoveTree(Tree);
    fs::create_directory(LongForm(Tree));
    Build();
    WALK_CREW GrownCrew(WalkWorkerCount() + 1, platform::StartWalkThread, platform::PrintPathMessage,
                        IdleAndBusyByTurns);
    const DELETION Deletion = Workers == 0       ? DeleteWithLibrary(Arguments)
                              : Workers == Grown ? DeleteWithLibrary(Arguments, GrownCrew)
                                                 : DeleteWithLibrary(Arguments, Workers);
    EXPECT_LE(GrownCrew.Threads(), GrownCrew.Bound());
    return OUTCOME{Deletion.Output, Deletion.Totals, DescribeTree(Scratch.Root)};
  }

  // The one-thread walk, then 1, 2 and 8 workers and a grown crew, each on a
  // tree built anew.
  void ExpectEveryCrewLikeOneThread(const std::function<void()> &Build, const std::vector<fs::path> &Arguments) {
    const OUTCOME Reference = DeleteAndLook(Build, 0, Arguments);
    for (const int Workers : {1, 2, 8, Grown}) {
      SCOPED_TRACE(std::to_string(Workers) + " workers");
      const OUTCOME Outcome = DeleteAndLook(Build, Workers, Arguments);
      EXPECT_EQ(Outcome.Output, Reference.Output);
      EXPECT_TRUE(SameTotals(Outcome.Totals, Reference.Totals))
          << Describe(Outcome.Totals) << " against " << Describe(Reference.Totals);
      EXPECT_EQ(Outcome.Left, Reference.Left);
    }
  }

  void Build(const std::vector<TREE_ENTRY> &Entries) {
    for (const TREE_ENTRY &Entry : Entries) {
      const fs::path Path = Tree / Entry.Relative;
      switch (Entry.Kind) {
      case TREE_ENTRY::Folder:
        fs::create_directory(LongForm(Path));
        break;
      case TREE_ENTRY::File:
        WriteFile(Path, static_cast<size_t>(Entry.Size));
        break;
      case TREE_ENTRY::SparseFile:
        ASSERT_TRUE(MakeSparseFile(Path, Entry.Size));
        break;
      case TREE_ENTRY::LinkOutToFile:
        ASSERT_TRUE(MakeSymbolicLink(Outside / "inner" / "kept", Path));
        break;
      case TREE_ENTRY::LinkOutToFolder:
        ASSERT_TRUE(MakeSymbolicLink(Outside / "inner", Path));
        break;
      case TREE_ENTRY::LinkInToFolder:
      case TREE_ENTRY::LinkInToFile:
        ASSERT_TRUE(MakeSymbolicLink(Tree / Entry.Target, Path));
        break;
      case TREE_ENTRY::Dangling:
        ASSERT_TRUE(MakeSymbolicLink(Tree / "nothing there", Path));
        break;
      case TREE_ENTRY::KindCount:
        break;
      }
    }
  }
};

// Thread starts a test allows; the rest are refused as a system out of
// threads refuses them.
std::atomic<int> StartsAllowed{0};

bool StartSome(platform::WALK_THREAD &Thread, size_t StackBytes, void (*Body)(void *), void *Context) {
  if (StartsAllowed.fetch_sub(1) <= 0)
    return false;
  return platform::StartWalkThread(Thread, StackBytes, Body, Context);
}

}  // namespace

TEST_F(ParallelWalkTest, RandomTreesAreDeletedAsTheOneThreadWalkDeletesThem) {
  // Under Wine every link is a host process of its own: fewer links there.
  const int LinkShare = RunsUnderWine() ? 6 : 20;
  const int Rounds = RunsUnderWine() ? 3 : 6;
  for (int Round = 0; Round < Rounds; ++Round) {
    SCOPED_TRACE("round " + std::to_string(Round));
    const std::vector<TREE_ENTRY> Entries = DrawTree(2011 + Round, 70, LinkShare);
    ExpectEveryCrewLikeOneThread([&] { Build(Entries); }, {Tree});
    if (HasFailure())
      return;
  }
}

TEST_F(ParallelWalkTest, LinksMetAfterTheirTargetWentAreTreatedAsTheOneThreadWalkTreatsThem) {
  // "a" comes first in most listings, but whatever the order, each link's
  // target is deleted before or after the link is met exactly as with one
  // thread: a link to a folder already gone is a link to nothing.
  const auto Build = [&] {
    for (const char *Folder : {"a", "b", "c"}) {
      fs::create_directories(LongForm(Tree / Folder / "deeper"));
      WriteFile(Tree / Folder / "deeper" / "file", 3);
    }
    ASSERT_TRUE(MakeSymbolicLink(Tree / "a", Tree / "b" / "to a"));
    ASSERT_TRUE(MakeSymbolicLink(Tree / "a" / "deeper", Tree / "c" / "to a deeper"));
    ASSERT_TRUE(MakeSymbolicLink(Tree / "c", Tree / "a" / "to c"));
    ASSERT_TRUE(MakeSymbolicLink(Tree / "b" / "deeper" / "file", Tree / "c" / "to b's file"));
    ASSERT_TRUE(MakeSymbolicLink(Tree / "b" / "deeper", Tree / "b" / "deeper" / "to itself"));
  };
  ExpectEveryCrewLikeOneThread(Build, {Tree});
}

TEST_F(ParallelWalkTest, SeveralArgumentsShareOneCrewAndOneOrder) {
  const auto Build = [&] {
    for (const char *Folder : {"first", "second"}) {
      fs::create_directories(LongForm(Tree / Folder / "sub"));
      for (int Index = 0; Index < 40; ++Index)
        WriteFile(Tree / Folder / "sub" / ("f" + std::to_string(Index)), static_cast<size_t>(Index));
    }
    WriteFile(Tree / "plain file", 4);
  };
  ExpectEveryCrewLikeOneThread(Build, {Tree / "first", Tree / "missing", Tree / "plain file", Tree / "second", Tree});
}

TEST_F(ParallelWalkTest, WideTreesFillThePoolsAndStillComeOutInOrder) {
  // More folders than a crew lets wait for their removal, and more batches
  // than it has: the producer has to wait for the workers, often.
  const auto Build = [&] {
    for (int Outer = 0; Outer < 30; ++Outer) {
      const fs::path Folder = Tree / ("outer " + std::to_string(Outer));
      fs::create_directory(LongForm(Folder));
      for (int Inner = 0; Inner < 15; ++Inner) {
        fs::create_directory(LongForm(Folder / ("inner " + std::to_string(Inner))));
        WriteFile(Folder / ("inner " + std::to_string(Inner)) / "f", static_cast<size_t>(Inner));
      }
      WriteFile(Folder / "g", static_cast<size_t>(Outer));
    }
  };
  ExpectEveryCrewLikeOneThread(Build, {Tree});
}

TEST_F(ParallelWalkTest, DeepChainsComeOutDeepestFirstAsWithOneThread) {
  // Every level has a file and a sibling folder: the workers rebuild paths
  // hundreds of folders long from the folders' records. (Under Wine each call
  // costs more with every level, so the chain is shorter there.)
  const int Depth = RunsUnderWine() ? 120 : 400;
  const auto Build = [&] {
    fs::path Level = Tree;
    for (int Index = 0; Index < Depth; ++Index) {
      fs::create_directory(LongForm(Level / "side"));
      WriteFile(Level / "side" / "s", 1);
      WriteFile(Level / "f", static_cast<size_t>(Index % 7));
      Level /= "d";
      fs::create_directory(LongForm(Level));
    }
  };
  ExpectEveryCrewLikeOneThread(Build, {Tree});
}

TEST_F(ParallelWalkTest, CrewThatGetsFewerThreadsOrNoneDeletesAllTheSame) {
  const auto Build = [&] {
    for (int Index = 0; Index < 20; ++Index) {
      fs::create_directories(LongForm(Tree / ("d" + std::to_string(Index)) / "e"));
      WriteFile(Tree / ("d" + std::to_string(Index)) / "e" / "f", static_cast<size_t>(Index));
    }
  };
  const OUTCOME Reference = DeleteAndLook(Build, 0, {Tree});
  for (const int Allowed : {0, 1, 3}) {
    SCOPED_TRACE(std::to_string(Allowed) + " threads allowed");
    RemoveTree(Tree);
    fs::create_directory(LongForm(Tree));
    Build();
    StartsAllowed.store(Allowed);
    WALK_CREW Crew(8, StartSome);
    const DELETION Deletion = DeleteWithLibrary({Tree}, Crew);
    EXPECT_EQ(Crew.Threads(), Allowed);
    EXPECT_EQ(Deletion.Output, Reference.Output);
    EXPECT_TRUE(SameTotals(Deletion.Totals, Reference.Totals));
    EXPECT_EQ(DescribeTree(Scratch.Root), Reference.Left);
  }
}

TEST(WalkWorkers, TheProcessorCountUnlessATestChoosesAnother) {
  const int Processors = WalkWorkerCount();
  EXPECT_GE(Processors, 1);
  EXPECT_LE(Processors, MaximumWalkWorkers);
  const struct {
    int Chosen;
    int Expected;
  } Rows[] = {{1, 1}, {2, 2}, {8, 8}, {MaximumWalkWorkers + 5, MaximumWalkWorkers}, {0, Processors}, {-3, Processors}};
  for (const auto &Row : Rows) {
    ChooseWalkWorkers(Row.Chosen);
    EXPECT_EQ(WalkWorkerCount(), Row.Expected) << Row.Chosen;
  }
  ChooseWalkWorkers(0);
}

TEST(WalkWorkers, ACrewOfOneIsTheOneThreadWalk) {
  WALK_CREW Crew(1);
  WORKING_PATH Path;
  TREE_TOTALS Totals;
  ASSERT_EQ(Path.Resolve(Native("anything").c_str()), WORKING_PATH::RESOLUTION::Resolved);
  EXPECT_FALSE(Crew.DeleteDirectoryContents(Path, Totals));
  EXPECT_EQ(Crew.Threads(), 0);
}
