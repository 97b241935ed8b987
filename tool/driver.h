// The utility's run over its command line: every argument is a tree to
// delete, one after the other; one working path, one tally and one crew of
// threads serve the whole run. Nothing it meets is fatal, and the exit status
// is always 0.
#pragma once

#include "platform/entry.h"
#include "tool/tree_totals.h"
#include "tool/working_path.h"

class WALK_CREW;

// Deletes the tree named by one argument and then the argument directory;
// with a crew, the tree's contents are deleted by its threads.
void DeleteArgumentTree(WORKING_PATH &Path, const PATH_CHAR *Argument, TREE_TOTALS &Totals, WALK_CREW *Crew = nullptr);

// The whole run; returns the exit status.
int RunDriver(int ArgumentCount, PATH_CHAR **Arguments);
