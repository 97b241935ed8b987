#include "tool/driver.h"

#include "platform/console.h"
#include "platform/file_system.h"
#include "tool/summary.h"
#include "tool/tree_walker.h"
#include "tool/usage.h"
#include "tool/walk_crew.h"

void DeleteArgumentTree(WORKING_PATH &Path, const PATH_CHAR *Argument, TREE_TOTALS &Totals, WALK_CREW *Crew) {
  switch (Path.Resolve(Argument)) {
  case WORKING_PATH::RESOLUTION::Resolved:
    DeleteTreeContents(Path, Totals, Crew);
    RemoveAndReport(platform::PLACE{Path.Text(), nullptr});
    break;
  case WORKING_PATH::RESOLUTION::Failed:
    // No path to act on: the working path is the bare prefix, shown empty.
    ReportNotRemoved(DisplayForm(Path.Text()));
    break;
  case WORKING_PATH::RESOLUTION::TooLong:
    // Its full path does not fit: nothing is touched, and it is named as given.
    ReportNotRemoved(Argument);
    break;
  }
}

namespace {

// The deepest tree a working path can name: one level per separator and
// one-character name.
constexpr size_t DeepestWalk = WorkingPathCapacity / 2;
// Room for one level of the recursion (two frames and an enumeration record),
// with a wide margin for the sanitizer builds' larger frames.
constexpr size_t StackBytesPerLevel = 4096;
// Room for what the deepest level calls: classification, output, the summary.
constexpr size_t StackBytesBeyondTheWalk = size_t{1} << 20;
constexpr size_t WalkStackBytes = DeepestWalk * StackBytesPerLevel + StackBytesBeyondTheWalk;

struct COMMAND_LINE {
  int ArgumentCount;
  PATH_CHAR **Arguments;
};

void RunArguments(void *Context) {
  const COMMAND_LINE &Line = *static_cast<const COMMAND_LINE *>(Context);
  TREE_TOTALS Totals;
  WORKING_PATH Path;
  // Its threads start with the first tree to walk, and end with the run.
  WALK_CREW Crew(WalkWorkerCount());
  for (int Index = 1; Index < Line.ArgumentCount; ++Index)
    DeleteArgumentTree(Path, Line.Arguments[Index], Totals, &Crew);
  if (Totals.Files != 0)
    PrintSummary(Totals);
  if (Line.ArgumentCount <= 1)
    PrintUsage();
}

}  // namespace

int RunDriver(int ArgumentCount, PATH_CHAR **Arguments) {
  platform::PrepareConsole();
  platform::PrepareForDeepWalk();
  // Any tree the working path can hold is walked, whatever stack the caller
  // was given.
  COMMAND_LINE Line{ArgumentCount, Arguments};
  platform::RunDeepWalk(WalkStackBytes, RunArguments, &Line);
  return 0;
}
