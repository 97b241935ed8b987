#include "tool/driver.h"

#include "platform/console.h"
#include "platform/file_system.h"
#include "tool/summary.h"
#include "tool/tree_walker.h"
#include "tool/usage.h"

void DeleteArgumentTree(WORKING_PATH &Path, const PATH_CHAR *Argument, TREE_TOTALS &Totals) {
  switch (Path.Resolve(Argument)) {
  case WORKING_PATH::RESOLUTION::Resolved:
    DeleteTreeContents(Path, Totals);
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

int RunDriver(int ArgumentCount, PATH_CHAR **Arguments) {
  TREE_TOTALS Totals;
  platform::PrepareConsole();
  platform::PrepareForDeepWalk();
  WORKING_PATH Path;
  for (int Index = 1; Index < ArgumentCount; ++Index)
    DeleteArgumentTree(Path, Arguments[Index], Totals);
  if (Totals.Files != 0)
    PrintSummary(Totals);
  if (ArgumentCount <= 1)
    PrintUsage();
  return 0;
}
