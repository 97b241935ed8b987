// The depth-first deletion of one tree. The walker works on the run's one
// working path, extending it by an entry's name and cutting it back when done,
// and on the tally. It never enters a link or a mounted volume, never acts on
// an entry whose path did not fit the working path, and reports what it could
// not delete or remove with a fixed message on standard output.
#pragma once

#include "platform/file_system.h"
#include "tool/tree_totals.h"
#include "tool/working_path.h"

// The contents step for one argument: deletes what is below it, or removes it
// when it is itself a link. Does not remove an ordinary directory it is given.
void DeleteTreeContents(WORKING_PATH &Path, TREE_TOTALS &Totals);

// Deletes every entry below the directory at Path, which is the current entry
// of Parent (null for an argument).
void DeleteDirectoryContents(WORKING_PATH &Path, const platform::DIRECTORY_ENUMERATION *Parent, TREE_TOTALS &Totals);

// Removes an emptied directory and says whether that worked.
void RemoveAndReport(const platform::PLACE &Place);

// "Could not remove" for a directory shown by Path, or by Path and Name when
// the two did not fit the working path together.
void ReportNotRemoved(const PATH_CHAR *Path, const PATH_CHAR *Name = nullptr);
