// Helpers shared by the support tests: the process's own trace file, failure
// checks, a stand-in processor count, polling with a deadline, and threads run
// under a watchdog so that a lost wake-up fails a test instead of hanging it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

// The trace file this test process writes (its name suffix is set once, at
// start, by the test environment), and its whole content ("" when absent).
const std::string &ProcessTraceSuffix();
std::string TraceFileName(int Location, const std::string &Suffix);
std::string ReadWholeFile(const std::string &Name);
std::string ProcessTraceText();

// Runs Action and expects it to raise Message through SoftwareFailure: the very
// pointer thrown, and the trace's last line "*** Software Failure: ... ***\r\n".
void ExpectSoftwareFailure(const std::function<void()> &Action, const char *Message);

// Sets the processor count the locks read, for the life of the object.
class PROCESSOR_COUNT_OVERRIDE {
 public:
  explicit PROCESSOR_COUNT_OVERRIDE(int16_t Count);
  ~PROCESSOR_COUNT_OVERRIDE();

 private:
  int16_t Saved;
};

// Polls Condition until it holds; false when it still fails at the deadline.
bool WaitUntil(const std::function<bool()> &Condition,
               std::chrono::milliseconds Deadline = std::chrono::seconds(20));

// Runs Body(index) on Count threads and joins them. A thread that has not
// returned by the deadline fails the test; Rescue is then called (repeatedly)
// to free it, and if that does not help either, the process ends with a
// message rather than hanging the suite.
void RunThreadsWithWatchdog(int Count, const std::function<void(int)> &Body,
                            const std::function<void()> &Rescue,
                            std::chrono::milliseconds Deadline = std::chrono::seconds(60));

// More threads than processors, so that some must sleep.
int StressThreadCount();
