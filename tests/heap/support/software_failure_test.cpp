#include "heap/support/software_failure.h"

#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "heap/support/hybrid_lock.h"
#include "tests/heap/support/support_test_helpers.h"

namespace {

namespace fs = std::filesystem;

constexpr const char *SizesMessage = "Sizes in constructor for NEW_PAGES";

// Each test traces into files of its own, named by a suffix of its own; the
// folders it had to create and the files are removed afterwards.
class TraceFileTest : public ::testing::Test {
 protected:
  void TearDown() override {
    SetDebugTraceNameSuffix(ProcessTraceSuffix().c_str());
    std::error_code Ignored;
    for (const std::string &Used : Suffixes)
      for (int Location = 0; Location < 2; ++Location)
        fs::remove(TraceFileName(Location, Used), Ignored);
    // Only folders left empty go: another process may have put files there.
    for (auto Folder = Created.rbegin(); Folder != Created.rend(); ++Folder)
      fs::remove(*Folder, Ignored);
  }

  std::string UniqueSuffix(const std::string &Tail = "") {
    static int Serial = 0;
    return ProcessTraceSuffix() + "-" + std::to_string(++Serial) + Tail;
  }

  // Makes the folder of a location's file exist, remembering what it created.
  void MakeFolderOf(const std::string &FileName) {
    fs::path Folder = fs::path(FileName).parent_path();
    fs::path FirstMissing;
    for (fs::path Step = Folder; !fs::exists(Step); Step = Step.parent_path())
      FirstMissing = Step;
    fs::create_directories(Folder);
    if (!FirstMissing.empty())
      Created.push_back(FirstMissing);
  }

  void UseSuffix(const std::string &NewSuffix) {
    Suffixes.push_back(NewSuffix);
    Suffix = NewSuffix;
    SetDebugTraceNameSuffix(Suffixes.back().c_str());  // stays alive until TearDown
  }

  std::string Suffix;
  std::deque<std::string> Suffixes;
  std::vector<fs::path> Created;
};

void RaiseSizes() { SoftwareFailure(SizesMessage); }

TEST_F(TraceFileTest, FailureWritesOneFramedLineToTheFirstLocationAndThrowsTheMessage) {
  UseSuffix(UniqueSuffix());
  MakeFolderOf(TraceFileName(0, Suffix));
  const unsigned char *Thrown = nullptr;
  try {
    RaiseSizes();
  } catch (unsigned char *Message) {
    Thrown = Message;
  }
  EXPECT_EQ(Thrown, reinterpret_cast<const unsigned char *>(SizesMessage));
  EXPECT_EQ(ReadWholeFile(TraceFileName(0, Suffix)), "*** Software Failure: Sizes in constructor for NEW_PAGES ***\r\n");
  EXPECT_FALSE(fs::exists(TraceFileName(1, Suffix)));
}

TEST_F(TraceFileTest, AHandlerForVoidPointerCatchesTheFailure) {
  UseSuffix(UniqueSuffix());
  const void *Thrown = nullptr;
  try {
    RaiseSizes();
  } catch (void *Message) {
    Thrown = Message;
  }
  EXPECT_EQ(Thrown, SizesMessage);
}

TEST_F(TraceFileTest, FirstWriteTruncatesAndLaterFailuresAppendToTheSameFile) {
  UseSuffix(UniqueSuffix());
  const std::string Name = TraceFileName(0, Suffix);
  MakeFolderOf(Name);
  std::ofstream(Name, std::ios::binary) << "left over from an earlier run\n";
  EXPECT_THROW(SoftwareFailure("Wakeup failed in Signal()"), unsigned char *);
  // Removing the file's folder entry would fail on Windows while it is open;
  // appending through the one handle is what shows that it is not reopened.
  EXPECT_THROW(RaiseSizes(), unsigned char *);
  EXPECT_EQ(ReadWholeFile(Name),
            "*** Software Failure: Wakeup failed in Signal() ***\r\n"
            "*** Software Failure: Sizes in constructor for NEW_PAGES ***\r\n");
}

TEST_F(TraceFileTest, EveryLineFeedBecomesCarriageReturnAndLineFeed) {
  UseSuffix(UniqueSuffix());
  MakeFolderOf(TraceFileName(0, Suffix));
  WriteDebugTrace("one\ntwo\n\n%s", "three");
  WriteDebugTrace("%d|%s|%c\n", 42, "x", 'y');
  WriteDebugTrace("%s", "");
  EXPECT_EQ(ReadWholeFile(TraceFileName(0, Suffix)), "one\r\ntwo\r\n\r\nthree42|x|y\r\n");
}

TEST_F(TraceFileTest, TextIsCutAtFiveHundredElevenCharacters) {
  UseSuffix(UniqueSuffix());
  MakeFolderOf(TraceFileName(0, Suffix));
  const std::string Long(600, 'x');
  WriteDebugTrace("%s", Long.c_str());
  EXPECT_EQ(ReadWholeFile(TraceFileName(0, Suffix)), std::string(511, 'x'));

  // The line feed in place 512 is cut off with the rest: no line end.
  UseSuffix(UniqueSuffix());
  MakeFolderOf(TraceFileName(0, Suffix));
  WriteDebugTrace("%s\n", std::string(511, 'y').c_str());
  EXPECT_EQ(ReadWholeFile(TraceFileName(0, Suffix)), std::string(511, 'y'));
}

TEST_F(TraceFileTest, SecondLocationIsUsedWhenTheFirstCannotBeCreated) {
  // The suffix carries a folder that exists only under the second location, so
  // the first cannot be created whatever the rights of the user running this.
  UseSuffix(UniqueSuffix(std::string(1, fs::path::preferred_separator) + "trace"));
  ASSERT_FALSE(fs::exists(fs::path(TraceFileName(0, Suffix)).parent_path()));
  MakeFolderOf(TraceFileName(1, Suffix));
  EXPECT_THROW(RaiseSizes(), unsigned char *);
  EXPECT_FALSE(fs::exists(TraceFileName(0, Suffix)));
  EXPECT_EQ(ReadWholeFile(TraceFileName(1, Suffix)), "*** Software Failure: Sizes in constructor for NEW_PAGES ***\r\n");
}

TEST_F(TraceFileTest, WithNeitherLocationTheTextIsDroppedAndTheNextWriteTriesAgain) {
  UseSuffix(UniqueSuffix(std::string(1, fs::path::preferred_separator) + "trace"));
  EXPECT_THROW(RaiseSizes(), unsigned char *);
  EXPECT_FALSE(fs::exists(TraceFileName(0, Suffix)));
  EXPECT_FALSE(fs::exists(TraceFileName(1, Suffix)));

  MakeFolderOf(TraceFileName(0, Suffix));
  WriteDebugTrace("now it can\n");
  EXPECT_EQ(ReadWholeFile(TraceFileName(0, Suffix)), "now it can\r\n");
}

TEST_F(TraceFileTest, ANameTooLongForItsBufferIsALocationThatCannotBeCreated) {
  UseSuffix(UniqueSuffix(std::string(200, 'n')));
  EXPECT_THROW(RaiseSizes(), unsigned char *);
  WriteDebugTrace("dropped\n");
  EXPECT_FALSE(fs::exists(TraceFileName(0, Suffix)));
  EXPECT_FALSE(fs::exists(TraceFileName(1, Suffix)));
}

TEST_F(TraceFileTest, LinesOfConcurrentWritersNeverInterleave) {
  UseSuffix(UniqueSuffix());
  MakeFolderOf(TraceFileName(0, Suffix));
  constexpr int Writers = 4;
  constexpr int LinesEach = 100;
  RunThreadsWithWatchdog(
      Writers,
      [](int Writer) {
        for (int Line = 0; Line < LinesEach; ++Line)
          WriteDebugTrace("writer %d line %03d ....................\n", Writer, Line);
      },
      [] { TraceLock().SleepQueue.Signal(Writers); });
  const std::string Text = ReadWholeFile(TraceFileName(0, Suffix));
  std::vector<int> NextLine(Writers, 0);
  size_t Start = 0;
  for (int Count = 0; Count < Writers * LinesEach; ++Count) {
    const size_t End = Text.find("\r\n", Start);
    ASSERT_NE(End, std::string::npos);
    int Writer = -1, Line = -1;
    ASSERT_EQ(std::sscanf(Text.substr(Start, End - Start).c_str(), "writer %d line %d ....................", &Writer,
                          &Line),
              2);
    ASSERT_TRUE(Writer >= 0 && Writer < Writers);
    EXPECT_EQ(Line, NextLine[Writer]++);
    EXPECT_EQ(End - Start, std::string("writer 0 line 000 ....................").size());
    Start = End + 2;
  }
  EXPECT_EQ(Start, Text.size());
}

TEST(TraceLockTest, IsOneProcessWideLockBuiltLikeEveryOther) {
  HYBRID_LOCK &Lock = TraceLock();
  EXPECT_EQ(&Lock, &TraceLock());
  EXPECT_EQ(Lock.MaxSpins, 4096);
  EXPECT_EQ(Lock.SleepQueue.MaxThreads, 256);
  EXPECT_EQ(Lock.Locked.load(), 0);  // released after every write
}

}  // namespace
