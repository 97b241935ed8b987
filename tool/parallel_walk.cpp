#include "tool/parallel_walk.h"

#include <string>

#include "tool/reparse_point.h"
#include "tool/tree_walker.h"
#include "tool/walk_crew.h"

namespace {

// The most output room one batch may reserve, so that a batch of files with
// long paths never takes a large share of the ring.
constexpr uint32_t BatchOutputLimit = 64 * 1024;

using PATH_TRAITS = std::char_traits<PATH_CHAR>;

}  // namespace

bool PARALLEL_WALK::WalkFolder(FOLDER_NODE &Folder, const platform::DIRECTORY_ENUMERATION *Parent) {
  // A listing that can change with the work still in flight is read only when
  // that work is done, entry by entry, as the one-thread walk reads it.
  const bool Settling = platform::ListingDependsOnOtherEntries(platform::PLACE{Path.Text(), Parent});
  if (Settling)
    Settle();
  Folder.Listed = OpenListing(Folder, Parent);
  if (!Folder.Listed)
    return !platform::FoundMountRoot(Folder.Enumeration);  // else unreadable or gone: treated as empty
  for (;;) {
    if (Settling)
      Settle();
    if (!platform::ReadEntry(Folder.Enumeration))
      break;
    TakeEntry(Folder, Settling);
  }
  Flush();
  platform::FinishEnumeration(Folder.Enumeration);
  return true;
}

bool PARALLEL_WALK::OpenListing(FOLDER_NODE &Folder, const platform::DIRECTORY_ENUMERATION *Parent) {
  bool RanOutOfHandles = false;
  if (OpenDirectory(Path, Parent, Folder.Enumeration, &RanOutOfHandles))
    return true;
  if (!RanOutOfHandles)
    return false;
  // Folders waiting for their removal hold descriptors that the one-thread
  // walk would have closed by now. Once they are gone, this is that walk's own
  // attempt, and its outcome is that walk's.
  Settle();
  return OpenDirectory(Path, Parent, Folder.Enumeration);
}

void PARALLEL_WALK::TakeEntry(FOLDER_NODE &Folder, bool Settling) {
  const platform::DIRECTORY_ENUMERATION &Entry = Folder.Enumeration;
  bool IsFolder = platform::EntryIsFolder(Entry);
  if (IsFolder && !Settling && platform::EntryLooksThroughALink(Entry)) {
    // A link leads to a directory now, but the one-thread walk may already
    // have deleted that directory when it meets the link (work in flight only
    // ever deletes, so any other answer stands): ask again once that work is done.
    Settle();
    IsFolder = platform::EntryIsFolder(Entry);
  }
  if (!IsFolder)
    AddFile(Folder);
  else if (!IsDotOrDotDot(platform::EntryName(Entry)))
    WalkSubfolder(Folder);
}

void PARALLEL_WALK::AddFile(FOLDER_NODE &Folder) {
  const PATH_CHAR *const Name = platform::EntryName(Folder.Enumeration);
  const size_t NameLength = PATH_TRAITS::length(Name);
  if (!Path.Fits(NameLength)) {
    Emit(CouldNotDeleteMessage, Path.Text(), Name);
    return;
  }
  const uint32_t Bytes = ORDERED_OUTPUT::MessageBytes(Path.Length() + 1 + NameLength);
  if (NameLength + 1 > FILE_BATCH::NameCapacity || Bytes > BatchOutputLimit) {
    // Beyond what a batch holds (no listing gives such names): the one-thread
    // way, once everything before it is done.
    Settle();
    DeleteEntry(Path, Folder.Enumeration, Totals);
    return;
  }
  if (Batch != nullptr && (Batch->Count == FILE_BATCH::EntryCapacity ||
                           Batch->NamesUsed + NameLength + 1 > FILE_BATCH::NameCapacity ||
                           Batch->OutputBytes + Bytes > BatchOutputLimit))
    Flush();
  if (Batch == nullptr)
    Batch = &Crew.TakeBatch(Folder);
  FILE_BATCH::ENTRY &Entry = Batch->Entries[Batch->Count++];
  Entry.NameAt = Batch->NamesUsed;
  Entry.NameLength = static_cast<uint32_t>(NameLength);
  Entry.ListedSize = platform::ListedSize(Folder.Enumeration);
  PATH_TRAITS::copy(Batch->Names + Batch->NamesUsed, Name, NameLength);
  Batch->Names[Batch->NamesUsed + NameLength] = 0;
  Batch->NamesUsed += static_cast<uint32_t>(NameLength + 1);
  Batch->OutputBytes += Bytes;
}

void PARALLEL_WALK::WalkSubfolder(FOLDER_NODE &Folder) {
  // Everything below it, and its own line, comes after the files before it.
  Flush();
  const platform::DIRECTORY_ENUMERATION &Entry = Folder.Enumeration;
  const PATH_CHAR *const Name = platform::EntryName(Entry);
  const size_t OldLength = Path.Length();
  if (!Path.AppendEntry(Name)) {
    Emit(CouldNotRemoveMessage, DisplayForm(Path.Text()), Name);
    return;
  }
  const platform::PLACE Place{Path.Text(), &Entry};
  const REPARSE_KIND Kind = ClassifyReparsePoint(Place);
  if (Kind != NotALink) {
    if (!RemoveLinkEntry(Place, Kind, Totals))
      Emit(CouldNotRemoveMessage, DisplayForm(Path.Text()));
    Path.CutBack(OldLength);
    return;
  }
  const size_t NameLength = Path.Length() - OldLength - 1;
  FOLDER_NODE *const Child =
      NameLength < platform::EntryNameCapacity ? Crew.NewFolder(&Folder, Name, NameLength, Path.Length()) : nullptr;
  if (Child == nullptr) {
    // No folder record to be had: this subtree goes the one-thread way, once
    // everything before it is done.
    Path.CutBack(OldLength);
    Settle();
    DeleteEntry(Path, Entry, Totals);
    return;
  }
  if (!WalkFolder(*Child, &Entry)) {
    Crew.DropFolder(*Child);
    Path.CutBack(OldLength);
    return;
  }
  Totals.Directories += 1;
  Crew.LeaveFolder(*Child, ORDERED_OUTPUT::MessageBytes(PATH_TRAITS::length(DisplayForm(Path.Text()))));
  Path.CutBack(OldLength);
}

void PARALLEL_WALK::Flush() {
  if (Batch == nullptr)
    return;
  Crew.Dispatch(*Batch);
  Batch = nullptr;
}

void PARALLEL_WALK::Emit(const char *Template, const PATH_CHAR *Shown, const PATH_CHAR *Name) {
  Flush();
  Crew.Emit(Template, Shown, Name);
}

void PARALLEL_WALK::Settle() {
  Flush();
  Crew.Settle();
}
