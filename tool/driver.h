// The utility's run over its command line: every argument is a tree to
// delete; one working path and one tally serve the whole run. Nothing it meets
// is fatal, and the exit status is always 0.
#pragma once

#include "platform/entry.h"
#include "tool/tree_totals.h"
#include "tool/working_path.h"

// Deletes the tree named by one argument and then the argument directory.
void DeleteArgumentTree(WORKING_PATH &Path, const PATH_CHAR *Argument, TREE_TOTALS &Totals);

// The whole run; returns the exit status.
int RunDriver(int ArgumentCount, PATH_CHAR **Arguments);
