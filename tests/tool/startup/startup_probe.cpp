// The program's own start-up, observed from outside it: this probe links the
// same start-up and driver as the utility, and an observer that is built before
// and destroyed after everything else. It fails (exit status 3) unless the
// process heap and its locks were built before the main routine and were all
// gone after it, no platform semaphore was ever created, and no trace file was
// written. With "--make-tree" it first builds a small tree in the temporary
// folder and runs the driver on it, which must delete it.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "heap/support/semaphore.h"
#include "heap/support/system_facts.h"
#include "platform/entry.h"
#include "platform/trace_file.h"
#include "tool/driver.h"

namespace {

namespace fs = std::filesystem;

// The trace files a process without a name suffix would write.
std::vector<fs::path> TraceFiles() {
  std::vector<fs::path> Names;
  for (const char *Format : platform::TraceFileNameFormats) {
    char Name[128];
    platform::FormatTraceFileName(Name, Format, "");
    Names.emplace_back(Name);
  }
  return Names;
}

struct TRACE_STATE {
  bool Exists = false;
  fs::file_time_type Written{};
};

TRACE_STATE StateOf(const fs::path &Name) {
  std::error_code Error;
  TRACE_STATE State;
  State.Exists = fs::exists(Name, Error);
  if (State.Exists)
    State.Written = fs::last_write_time(Name, Error);
  return State;
}

// Built first, destroyed last.
struct OBSERVER {
  std::vector<TRACE_STATE> Before;
  int32_t AttachedInMain = -1;

  OBSERVER() {
    for (const fs::path &Name : TraceFiles())
      Before.push_back(StateOf(Name));
  }

  ~OBSERVER() {
    bool Failed = false;
    auto Check = [&Failed](bool Condition, const char *What) {
      if (!Condition) {
        std::fprintf(stderr, "start-up probe: %s\n", What);
        Failed = true;
      }
    };
    // Every lock, lookup and heap attaches to the system facts while it lives.
    Check(AttachedInMain >= 50, "the process heap and its locks were not built before the main routine");
    Check(SYSTEM_FACTS::References.load() == 0, "something was not destroyed after the main routine");
    Check(SemaphorePlatformCalls.Creates.load() == 0, "a platform semaphore was created");
    const std::vector<fs::path> Names = TraceFiles();
    for (size_t Index = 0; Index < Names.size(); ++Index) {
      const TRACE_STATE After = StateOf(Names[Index]);
      Check(After.Exists == Before[Index].Exists && After.Written == Before[Index].Written,
            "a trace file was written");
    }
    std::fflush(stdout);
    if (Failed)
      std::_Exit(3);
  }
};

__attribute__((init_priority(101))) OBSERVER Observer;

fs::path MakeTree() {
  const fs::path Root = fs::temp_directory_path() / ("krax-startup-" + std::to_string(std::rand()));
  fs::create_directories(Root / "a" / "b");
  std::ofstream(Root / "a" / "b" / "file") << "some bytes";
  std::ofstream(Root / "top") << "x";
  return Root;
}

}  // namespace

int PLATFORM_MAIN(int ArgumentCount, PATH_CHAR **Arguments) {
  Observer.AttachedInMain = SYSTEM_FACTS::References.load();
  if (ArgumentCount < 2)
    return RunDriver(ArgumentCount, Arguments);
  const fs::path Tree = MakeTree();
  std::basic_string<PATH_CHAR> Argument = Tree.native();
  PATH_CHAR *Driven[] = {Arguments[0], Argument.data(), nullptr};
  const int Status = RunDriver(2, Driven);
  if (fs::exists(Tree)) {
    std::fprintf(stderr, "start-up probe: the tree was not deleted\n");
    return 4;
  }
  return Status;
}
