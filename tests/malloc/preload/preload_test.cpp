// The preloadable library under the standard names, linked into this test
// program: every malloc and operator new here (GoogleTest's own included) is
// served by it. The C library's contracts, every operator form, fork while
// other threads allocate, and exceptions, which the runtime allocates.
#include <gtest/gtest.h>
#include <malloc.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <new>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "malloc/krax_malloc.h"

namespace {

bool IsAligned(const void *Block, size_t Alignment) {
  return (reinterpret_cast<uintptr_t>(Block) & (Alignment - 1)) == 0;
}

// Asks about an address that may have been freed: what the allocator says of
// it is the point of the test, and the address is never read.
__attribute__((noinline)) int CheckFreed(uintptr_t Address) { return krax_check(reinterpret_cast<void *>(Address)); }

// Called through a pointer, so that the compiler does not assume the block
// was released: on overflow it is not.
void *(*volatile ReallocArray)(void *, size_t, size_t) = reallocarray;

TEST(Preload, TheStandardNamesAreServedByTheLibrary) {
  void *Block = malloc(10);
  ASSERT_NE(Block, nullptr);
  EXPECT_EQ(krax_check(Block), 1);
  const uintptr_t Freed = reinterpret_cast<uintptr_t>(Block);
  free(Block);
  EXPECT_EQ(CheckFreed(Freed), 0);
  auto *Number = new int(5);
  EXPECT_EQ(krax_check(Number), 1);
  delete Number;
  std::string Text(1000, 'x');
  EXPECT_EQ(krax_check(Text.data()), 1);
}

TEST(Preload, PosixMemalignAlignedAllocAndMemalign) {
  struct CASE {
    size_t Alignment, Bytes;
    int Result;
  };
  const CASE Cases[] = {{8, 10, 0},           {16, 0, 0},       {32, 100, 0},     {4096, 5000, 0},
                        {65536, 10, 0},       {1 << 20, 10, 0}, {1 << 22, 1, 0},  {0, 10, EINVAL},
                        {4, 10, EINVAL},      {24, 10, EINVAL}, {8, SIZE_MAX, ENOMEM}};
  for (const CASE &Case : Cases) {
    SCOPED_TRACE(testing::Message() << Case.Alignment << " " << Case.Bytes);
    void *Block = reinterpret_cast<void *>(1);
    errno = 1234;
    EXPECT_EQ(posix_memalign(&Block, Case.Alignment, Case.Bytes), Case.Result);
    EXPECT_EQ(errno, 1234) << "posix_memalign reports through its result only";
    if (Case.Result == 0) {
      EXPECT_TRUE(IsAligned(Block, Case.Alignment));
      EXPECT_GE(malloc_usable_size(Block), Case.Bytes);
      free(Block);
    } else {
      EXPECT_EQ(Block, reinterpret_cast<void *>(1)) << "the result is left alone";
    }
  }
  // Through pointers: compilers reject an alignment that is no power of two.
  void *(*volatile AlignedAlloc)(size_t, size_t) = aligned_alloc;
  void *(*volatile Memalign)(size_t, size_t) = memalign;
  errno = 0;
  EXPECT_EQ(AlignedAlloc(48, 96), nullptr);
  EXPECT_EQ(errno, EINVAL);
  void *Aligned = aligned_alloc(256, 512);
  EXPECT_TRUE(IsAligned(Aligned, 256));
  free(Aligned);
  void *Rounded = Memalign(48, 10);
  EXPECT_TRUE(IsAligned(Rounded, 64));
  free(Rounded);
}

TEST(Preload, PageAlignedAllocations) {
  const size_t Page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  void *Block = valloc(10);
  EXPECT_TRUE(IsAligned(Block, Page));
  free(Block);
  void *Whole = pvalloc(1);
  EXPECT_TRUE(IsAligned(Whole, Page));
  EXPECT_GE(malloc_usable_size(Whole), Page);
  free(Whole);
}

TEST(Preload, ReallocArrayAndUsableSize) {
  auto *Block = static_cast<char *>(ReallocArray(nullptr, 10, 10));
  ASSERT_NE(Block, nullptr);
  memset(Block, 'a', 100);
  errno = 0;
  EXPECT_EQ(ReallocArray(Block, SIZE_MAX / 2, 3), nullptr);
  EXPECT_EQ(errno, ENOMEM);
  EXPECT_EQ(Block[99], 'a') << "an overflowing reallocarray leaves the block";
  EXPECT_EQ(malloc_usable_size(Block), 112u);
  errno = 0;
  void *(*volatile Calloc)(size_t, size_t) = calloc;
  EXPECT_EQ(Calloc(SIZE_MAX / 4, 8), nullptr);
  EXPECT_EQ(errno, ENOMEM);
  const uintptr_t Freed = reinterpret_cast<uintptr_t>(Block);
  EXPECT_EQ(ReallocArray(Block, 0, 1), nullptr);
  EXPECT_EQ(CheckFreed(Freed), 0);
  EXPECT_EQ(malloc_usable_size(nullptr), 0u);
}

struct alignas(256) WIDE {
  char Bytes[300];
};

TEST(Preload, EveryOperatorForm) {
  delete new int;
  delete[] new int[10];
  delete new (std::nothrow) int;
  delete[] new (std::nothrow) int[3];
  auto *Wide = new WIDE;
  EXPECT_TRUE(IsAligned(Wide, 256));
  EXPECT_EQ(krax_check(Wide), 1);
  delete Wide;
  auto *Wides = new WIDE[5];
  EXPECT_TRUE(IsAligned(Wides, 256));
  delete[] Wides;
  auto *Nothrow = new (std::nothrow) WIDE;
  EXPECT_TRUE(IsAligned(Nothrow, 256));
  delete Nothrow;
  for (size_t Alignment = 1; Alignment <= (size_t{1} << 20); Alignment <<= 1) {
    void *Block = ::operator new(100, std::align_val_t(Alignment));
    EXPECT_TRUE(IsAligned(Block, Alignment));
    ::operator delete(Block, 100, std::align_val_t(Alignment));
    Block = ::operator new[](100, std::align_val_t(Alignment), std::nothrow);
    EXPECT_TRUE(IsAligned(Block, Alignment));
    ::operator delete[](Block, std::align_val_t(Alignment), std::nothrow);
  }
  void *Sized = ::operator new(40);
  ::operator delete(Sized, 40);
  Sized = ::operator new[](40);
  const uintptr_t Freed = reinterpret_cast<uintptr_t>(Sized);
  ::operator delete[](Sized, 40);
  EXPECT_EQ(CheckFreed(Freed), 0);
}

int HandlerCalls = 0;
void CountingHandler() {
  if (++HandlerCalls == 3)
    std::set_new_handler(nullptr);
}

TEST(Preload, NewCallsTheHandlerThenThrows) {
  HandlerCalls = 0;
  std::set_new_handler(CountingHandler);
  EXPECT_THROW((void)::operator new(size_t{1} << 45), std::bad_alloc);
  EXPECT_EQ(HandlerCalls, 3);
  HandlerCalls = 0;
  std::set_new_handler(CountingHandler);
  EXPECT_EQ(::operator new(size_t{1} << 45, std::nothrow), nullptr);
  EXPECT_EQ(HandlerCalls, 3);
  EXPECT_THROW((void)::operator new[](size_t{1} << 45, std::align_val_t(64)), std::bad_alloc);
}

// Waits for a child for at most TimeOut; a child still running then is killed.
int WaitForChild(pid_t Child, std::chrono::seconds TimeOut) {
  const auto Deadline = std::chrono::steady_clock::now() + TimeOut;
  int Status = 0;
  while (waitpid(Child, &Status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > Deadline) {
      kill(Child, SIGKILL);
      waitpid(Child, &Status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return WIFEXITED(Status) ? WEXITSTATUS(Status) : -2;
}

// What a forked child does with the heap it inherited.
int UseHeapInChild() {
  std::vector<void *> Blocks;
  for (size_t Index = 0; Index < 500; ++Index) {
    void *Block = malloc(Index * 137 % 70000);
    if (Block == nullptr)
      return 3;
    memset(Block, 1, Index * 137 % 70000);
    Blocks.push_back(Block);
  }
  for (void *Block : Blocks)
    free(Block);
  std::atomic<bool> Worked{false};
  std::thread Helper([&] {
    std::vector<std::string> Strings(1000, std::string(100, 'y'));
    Worked = Strings.back().size() == 100;
  });
  Helper.join();
  return Worked ? 0 : 4;
}

TEST(Preload, ForkWhileOtherThreadsAllocate) {
  std::atomic<bool> Stop{false};
  std::vector<std::thread> Busy;
  for (int Thread = 0; Thread < 3; ++Thread)
    Busy.emplace_back([&Stop, Thread] {
      std::mt19937 Random(static_cast<uint32_t>(Thread));
      std::vector<void *> Kept(64, nullptr);
      while (!Stop.load()) {
        void *&Slot = Kept[Random() % Kept.size()];
        free(Slot);
        const size_t Bytes = Random() % 8 == 0 ? Random() % 200000 : Random() % 1000;
        Slot = malloc(Bytes);
        memset(Slot, 2, Bytes);
      }
      for (void *Block : Kept)
        free(Block);
    });
  for (int Round = 0; Round < 12; ++Round) {
    fflush(nullptr);
    const pid_t Child = fork();
    ASSERT_GE(Child, 0);
    if (Child == 0)
      _exit(UseHeapInChild());
    EXPECT_EQ(WaitForChild(Child, std::chrono::seconds(20)), 0) << "round " << Round;
  }
  Stop = true;
  for (std::thread &Thread : Busy)
    Thread.join();
}

TEST(Preload, ExceptionsAllocateThroughTheLibrary) {
  std::atomic<int> Caught{0};
  std::vector<std::thread> Threads;
  for (int Thread = 0; Thread < 4; ++Thread)
    Threads.emplace_back([&Caught] {
      for (int Index = 0; Index < 5000; ++Index) {
        try {
          throw std::runtime_error(std::string(static_cast<size_t>(Index % 300), 'e'));
        } catch (const std::runtime_error &Error) {
          Caught += std::strlen(Error.what()) == static_cast<size_t>(Index % 300) ? 1 : 0;
        }
      }
    });
  for (std::thread &Thread : Threads)
    Thread.join();
  EXPECT_EQ(Caught.load(), 20000);
}

TEST(Preload, ManyShortThreads) {
  const uint64_t Refused = krax_refused();
  for (int Round = 0; Round < 50; ++Round) {
    std::vector<std::thread> Threads;
    for (int Thread = 0; Thread < 8; ++Thread)
      Threads.emplace_back([] {
        std::vector<std::vector<int>> Lists(100);
        for (size_t Index = 0; Index < Lists.size(); ++Index)
          Lists[Index].resize(Index * 3 + 1, static_cast<int>(Index));
      });
    for (std::thread &Thread : Threads)
      Thread.join();
  }
  EXPECT_EQ(krax_refused(), Refused) << "no pointer of the threads was refused";
}

// mallinfo2 counts this program's live bytes: its classes' sizes in
// uordblks, a block of the large cache in hblks and hblkhd.
TEST(Preload, MallinfoCountsTheLiveBytes) {
  std::vector<void *> Blocks;
  Blocks.reserve(1000);
  const struct mallinfo2 Before = mallinfo2();
  for (int Index = 0; Index < 1000; ++Index)
    Blocks.push_back(malloc(100));
  void *Large = malloc(3000000);
  const struct mallinfo2 During = mallinfo2();
  const size_t LargeBytes = malloc_usable_size(Large);
  for (void *Block : Blocks)
    free(Block);
  free(Large);
  const struct mallinfo2 After = mallinfo2();
  EXPECT_EQ(During.uordblks - Before.uordblks, 1000u * 112u);
  EXPECT_EQ(During.hblks - Before.hblks, 1u);
  EXPECT_EQ(During.hblkhd - Before.hblkhd, LargeBytes);
  EXPECT_GE(LargeBytes, 3000000u);
  EXPECT_GE(During.arena, During.uordblks);
  EXPECT_EQ(After.uordblks, Before.uordblks);
  EXPECT_EQ(After.hblkhd, Before.hblkhd);
}

struct RUN {
  int Status;
  std::string Output, Errors;
};

std::string ReadAll(const char *Name) {
  std::ifstream File(Name);
  return std::string(std::istreambuf_iterator<char>(File), {});
}

// The demo program with the library preloaded and KRAX_MALLOC_REPORT set to
// Setting (unset when null), ended as End says.
RUN RunDemo(const char *Setting, const char *End) {
  char OutputName[] = "/tmp/krax_report_outXXXXXX", ErrorsName[] = "/tmp/krax_report_errXXXXXX";
  const int Output = mkstemp(OutputName), Errors = mkstemp(ErrorsName);
  const std::string Preload = std::string("LD_PRELOAD=") + KRAX_MALLOC_LIBRARY;
  const std::string Report = std::string("KRAX_MALLOC_REPORT=") + (Setting != nullptr ? Setting : "");
  char *const Environment[] = {const_cast<char *>(Preload.c_str()),
                               Setting != nullptr ? const_cast<char *>(Report.c_str()) : nullptr, nullptr};
  char *const Arguments[] = {const_cast<char *>(KRAX_REPORT_DEMO), const_cast<char *>(End), nullptr};
  fflush(nullptr);
  const pid_t Child = fork();
  if (Child == 0) {
    dup2(Output, STDOUT_FILENO);
    dup2(Errors, STDERR_FILENO);
    execve(KRAX_REPORT_DEMO, Arguments, Environment);
    _exit(127);
  }
  RUN Run{WaitForChild(Child, std::chrono::seconds(30)), ReadAll(OutputName), ReadAll(ErrorsName)};
  close(Output);
  close(Errors);
  unlink(OutputName);
  unlink(ErrorsName);
  return Run;
}

// Each setting writes its report to standard error, at exit or the return
// from main, from whichever thread; nothing on _exit; standard output is the
// same as without the variable.
TEST(Preload, TheReportGoesToStandardErrorAtExitOnly) {
  const RUN Plain = RunDemo(nullptr, "return");
  EXPECT_EQ(Plain.Status, 0);
  EXPECT_EQ(Plain.Output, "kept 3 blocks\ndone\n");
  EXPECT_EQ(Plain.Errors, "");
  struct CASE {
    const char *Setting, *End, *Wanted;
  };
  const CASE Cases[] = {
      {"stats", "return", "krax_malloc: statistics\n"},
      {"stats", "thread", "\nrefused: double 1, interior 0, foreign 0\n"},
      {"leaks", "thread", "\n      7    112          3           336  0x"},
      {"errors", "return", ") refused: the block is free already\n"},
      {"stats,leaks,errors", "_exit", ") refused: the block is free already\n"},
      {"stats,leaks", "_exit", nullptr},
      {"nonsense", "return", "KRAX_MALLOC_REPORT has no setting 'nonsense'"},
  };
  for (const CASE &Case : Cases) {
    SCOPED_TRACE(testing::Message() << Case.Setting << " " << Case.End);
    const RUN Run = RunDemo(Case.Setting, Case.End);
    EXPECT_EQ(Run.Status, 0);
    EXPECT_EQ(Run.Output, Plain.Output);
    if (Case.Wanted == nullptr)
      EXPECT_EQ(Run.Errors, "");
    else
      EXPECT_NE(Run.Errors.find(Case.Wanted), std::string::npos) << Run.Errors;
    EXPECT_EQ(Run.Errors.find("krax_malloc: statistics") != std::string::npos,
              strstr(Case.Setting, "stats") != nullptr && strcmp(Case.End, "_exit") != 0);
  }
}

}  // namespace
