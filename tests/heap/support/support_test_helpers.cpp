#include "tests/heap/support/support_test_helpers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

#include "heap/support/software_failure.h"
#include "heap/support/system_facts.h"
#include "platform/trace_file.h"

namespace {

const std::string &ProcessSuffix() {
  static const std::string Suffix = "-krax-support-" + std::to_string(std::random_device{}() % 1000000007u);
  return Suffix;
}

// Points every trace of this process at a file of its own, removed at the end.
class TRACE_ENVIRONMENT : public ::testing::Environment {
 public:
  void SetUp() override { SetDebugTraceNameSuffix(SuffixText.c_str()); }
  void TearDown() override {
    SetDebugTraceNameSuffix("");
    std::error_code Ignored;
    for (int Location = 0; Location < platform::TraceFileLocations; ++Location)
      std::filesystem::remove(TraceFileName(Location, SuffixText), Ignored);
  }

 private:
  const std::string &SuffixText = ProcessSuffix();
};

[[maybe_unused]] ::testing::Environment *const TraceEnvironment =
    ::testing::AddGlobalTestEnvironment(new TRACE_ENVIRONMENT);

}  // namespace

const std::string &ProcessTraceSuffix() { return ProcessSuffix(); }

std::string TraceFileName(int Location, const std::string &Suffix) {
  char Name[512];
  std::snprintf(Name, sizeof Name, platform::TraceFileNameFormats[Location], Suffix.c_str());
  return Name;
}

std::string ReadWholeFile(const std::string &Name) {
  std::ifstream File(Name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(File), std::istreambuf_iterator<char>());
}

std::string ProcessTraceText() {
  for (int Location = 0; Location < platform::TraceFileLocations; ++Location) {
    const std::string Name = TraceFileName(Location, ProcessSuffix());
    if (std::filesystem::exists(Name))
      return ReadWholeFile(Name);
  }
  return "";
}

void ExpectSoftwareFailure(const std::function<void()> &Action, const char *Message) {
  const unsigned char *Thrown = nullptr;
  try {
    Action();
  } catch (unsigned char *Failure) {
    Thrown = Failure;
  }
  ASSERT_NE(Thrown, nullptr) << "no failure raised, expected \"" << Message << "\"";
  EXPECT_STREQ(reinterpret_cast<const char *>(Thrown), Message);
  const std::string Line = std::string("*** Software Failure: ") + Message + " ***\r\n";
  const std::string Trace = ProcessTraceText();
  ASSERT_GE(Trace.size(), Line.size());
  EXPECT_EQ(Trace.substr(Trace.size() - Line.size()), Line);
}

PROCESSOR_COUNT_OVERRIDE::PROCESSOR_COUNT_OVERRIDE(int16_t Count) : Saved(SYSTEM_FACTS::ProcessorCount) {
  SYSTEM_FACTS::ProcessorCount = Count;
}

PROCESSOR_COUNT_OVERRIDE::~PROCESSOR_COUNT_OVERRIDE() { SYSTEM_FACTS::ProcessorCount = Saved; }

bool WaitUntil(const std::function<bool()> &Condition, std::chrono::milliseconds Deadline) {
  const auto End = std::chrono::steady_clock::now() + Deadline;
  while (!Condition()) {
    if (std::chrono::steady_clock::now() > End)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

void RunThreadsWithWatchdog(int Count, const std::function<void(int)> &Body, const std::function<void()> &Rescue,
                            std::chrono::milliseconds Deadline) {
  std::atomic<int> Finished{0};
  std::vector<std::thread> Threads;
  for (int Index = 0; Index < Count; ++Index)
    Threads.emplace_back([&, Index] {
      Body(Index);
      Finished.fetch_add(1);
    });
  const auto AllFinished = [&] { return Finished.load() == Count; };
  if (!WaitUntil(AllFinished, Deadline)) {
    ADD_FAILURE() << (Count - Finished.load()) << " of " << Count
                  << " threads never returned: a wake-up was lost or a lock never freed";
    const bool Rescued = WaitUntil([&] {
      Rescue();
      return AllFinished();
    }, std::chrono::seconds(10));
    if (!Rescued) {
      std::fprintf(stderr, "Threads still blocked after the rescue; ending the test process.\n");
      std::fflush(stderr);
      std::_Exit(EXIT_FAILURE);
    }
  }
  for (std::thread &Thread : Threads)
    Thread.join();
}

int StressThreadCount() {
  SYSTEM_FACTS_ATTACHMENT Facts;
  return 2 * SYSTEM_FACTS::ProcessorCount + 2;
}
