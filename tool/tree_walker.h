// The depth-first deletion of one tree. The walker works on the run's one
// working path, extending it by an entry's name and cutting it back when done,
// and on the tally. It never enters a link or a mounted volume, never acts on
// an entry whose path did not fit the working path, and reports what it could
// not delete or remove with a fixed message on standard output.
//
// This is the one-thread walk, and the order of its messages is the order
// every walk prints in; the pieces a parallel walk shares with it are here too.
#pragma once

#include "platform/file_system.h"
#include "tool/reparse_point.h"
#include "tool/tree_totals.h"
#include "tool/working_path.h"

class WALK_CREW;

// The walker's messages, each with one "%s" for the path.
extern const char RemovingMessage[];
extern const char CouldNotRemoveMessage[];
extern const char CouldNotDeleteMessage[];

// The contents step for one argument: deletes what is below it, or removes it
// when it is itself a link. Does not remove an ordinary directory it is given.
// With a crew, a directory's contents are deleted by its threads.
void DeleteTreeContents(WORKING_PATH &Path, TREE_TOTALS &Totals, WALK_CREW *Crew = nullptr);

// Deletes every entry below the directory at Path, which is the current entry
// of Parent (null for an argument). False, with nothing done, when opening it
// found the root of another mount: the caller leaves it as a mount point.
bool DeleteDirectoryContents(WORKING_PATH &Path, const platform::DIRECTORY_ENUMERATION *Parent, TREE_TOTALS &Totals);

// Deletes the current entry of Enumeration, whose directory is at Path, as
// the one-thread walk does: a file, or a subdirectory with all below it.
void DeleteEntry(WORKING_PATH &Path, const platform::DIRECTORY_ENUMERATION &Enumeration, TREE_TOTALS &Totals);

// Removes an emptied directory and says whether that worked.
void RemoveAndReport(const platform::PLACE &Place);

// "Could not remove" for a directory shown by Path, or by Path and Name when
// the two did not fit the working path together.
void ReportNotRemoved(const PATH_CHAR *Path, const PATH_CHAR *Name = nullptr);

// Clears an emptied directory's attributes and removes it; true when it went.
bool RemoveEmptiedFolder(const platform::PLACE &Place);

// Removes a link met in the tree as a link, or leaves a mounted volume, and
// counts it. False when a link whose kind cannot be told had to stay: its
// parent cannot go then, and the caller says so.
bool RemoveLinkEntry(const platform::PLACE &Place, REPARSE_KIND Kind, TREE_TOTALS &Totals);

// Opens the directory at Path, the current entry of Parent (null for an
// argument), with the enumeration pattern behind Path only for the call.
bool OpenDirectory(WORKING_PATH &Path, const platform::DIRECTORY_ENUMERATION *Parent,
                   platform::DIRECTORY_ENUMERATION &Enumeration, bool *RanOutOfHandles = nullptr);

bool IsDotOrDotDot(const PATH_CHAR *Name);
