// The producer of a parallel walk: it lists the tree's folders in exactly the
// order of the one-thread walk, on that walk's working path, and hands the
// deletion of files (in batches) and the removal of listed folders to the
// crew, reserving each piece of output at its place in that order. It decides
// everything the one-thread walk decides from what it meets (what an entry is,
// whether its path fits, how a link goes) and makes every such decision as
// that walk would: where the answer could depend on work still in flight, it
// first lets that work finish.
//
// Invariants: the working path is extended and cut back as in the one-thread
// walk; a batch holds files of one folder only and never spans a subfolder or
// a message; every folder it opens is opened relative to its parent's listing,
// as the one-thread walk opens it.
#pragma once

#include "platform/file_system.h"
#include "tool/tree_totals.h"
#include "tool/walk_units.h"
#include "tool/working_path.h"

class WALK_CREW;

class PARALLEL_WALK {
public:
  PARALLEL_WALK(WALK_CREW &Crew, WORKING_PATH &Path, TREE_TOTALS &Totals) : Crew(Crew), Path(Path), Totals(Totals) {}

  // Lists the folder at Path, the current entry of Parent (null for an
  // argument), and everything below it; its removal is the caller's. False
  // when opening it found the root of another mount, left as a mount point.
  bool WalkFolder(FOLDER_NODE &Folder, const platform::DIRECTORY_ENUMERATION *Parent);

private:
  bool OpenListing(FOLDER_NODE &Folder, const platform::DIRECTORY_ENUMERATION *Parent);
  void TakeEntry(FOLDER_NODE &Folder, bool Settling);
  void AddFile(FOLDER_NODE &Folder);
  void WalkSubfolder(FOLDER_NODE &Folder);
  void Flush();
  void Emit(const char *Template, const PATH_CHAR *Shown, const PATH_CHAR *Name = nullptr);
  void Settle();

  WALK_CREW &Crew;
  WORKING_PATH &Path;
  TREE_TOTALS &Totals;
  FILE_BATCH *Batch = nullptr;  // being filled, not yet handed out
};
