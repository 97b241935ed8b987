// The utility with a chosen number of walk workers, for tests and benchmarks
// only: "krax_workers N DIR..." runs exactly as "krax DIR..." does on a machine
// with N processors (N of 1 is the one-thread walk). The utility itself has no
// options and reads no environment.
#include "platform/entry.h"
#include "tool/driver.h"
#include "tool/walk_crew.h"

int PLATFORM_MAIN(int ArgumentCount, PATH_CHAR **Arguments) {
  int Workers = 0;
  for (const PATH_CHAR *Digit = ArgumentCount > 1 ? Arguments[1] : nullptr; Digit != nullptr && *Digit != 0; ++Digit) {
    if (*Digit < '0' || *Digit > '9' || Workers > MaximumWalkWorkers)
      return 2;
    Workers = Workers * 10 + (*Digit - '0');
  }
  if (Workers < 1)
    return 2;
  ChooseWalkWorkers(Workers);
  // The count takes the place of the program's name, which the driver skips.
  return RunDriver(ArgumentCount - 1, Arguments + 1);
}
