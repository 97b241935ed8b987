#include "tool/tree_walker.h"

#include "platform/console.h"
#include "tool/reparse_point.h"
#include "tool/walk_crew.h"

const char RemovingMessage[] = "Removing '%s'\n";
const char CouldNotRemoveMessage[] = "Could not remove '%s'\n";
const char CouldNotDeleteMessage[] = "Could not delete '%s'\n";

bool IsDotOrDotDot(const PATH_CHAR *Name) {
  return Name[0] == '.' && (Name[1] == 0 || (Name[1] == '.' && Name[2] == 0));
}

// Links are removed as links and never entered; a mounted volume stays.
bool RemoveLinkEntry(const platform::PLACE &Place, REPARSE_KIND Kind, TREE_TOTALS &Totals) {
  switch (Kind) {
  case Junction:
    platform::RemoveFolder(Place);
    Totals.Junctions += 1;
    break;
  case SymbolicLink:
    platform::RemoveSymbolicLink(Place);
    break;
  case UnreadableLink:
    // Its target is unknown, so it is removed as a link or left; staying, it
    // keeps its parent from going, and the caller's line says why.
    return platform::RemoveFolder(Place);
  case VolumeMountPoint:
  case NotALink:
    break;
  }
  return true;
}

bool OpenDirectory(WORKING_PATH &Path, const platform::DIRECTORY_ENUMERATION *Parent,
                   platform::DIRECTORY_ENUMERATION &Enumeration, bool *RanOutOfHandles) {
  const size_t OldLength = Path.Length();
  // Only a non-empty pattern can fail to fit, and where there is one no
  // opening reports a mount root: FoundMountRoot never reads an unset record.
  if (!Path.AppendPattern())
    return false;
  const bool Opened = platform::OpenEnumeration(Enumeration, platform::PLACE{Path.Text(), Parent}, RanOutOfHandles);
  Path.CutBack(OldLength);
  return Opened;
}

namespace {

void RemoveLink(const platform::PLACE &Place, REPARSE_KIND Kind, TREE_TOTALS &Totals) {
  if (!RemoveLinkEntry(Place, Kind, Totals))
    ReportNotRemoved(DisplayForm(Place.Path));
}

void DeleteFileEntry(WORKING_PATH &Path, const platform::DIRECTORY_ENUMERATION &Enumeration, TREE_TOTALS &Totals) {
  const PATH_CHAR *const Name = platform::EntryName(Enumeration);
  const size_t OldLength = Path.Length();
  if (!Path.AppendEntry(Name)) {
    platform::PrintPathMessage(CouldNotDeleteMessage, Path.Text(), Name);
    return;
  }
  const platform::PLACE Place{Path.Text(), &Enumeration};
  // Read before the entry goes: on POSIX the size comes from the file itself.
  const uint64_t Size = platform::EntrySize(Place);
  platform::ResetAttributes(Place);
  if (!platform::DeleteFileEntry(Place))
    platform::PrintPathMessage(CouldNotDeleteMessage, Path.Text());
  Totals.Files += 1;
  Totals.Bytes += Size;
  Path.CutBack(OldLength);
}

void DeleteSubdirectory(WORKING_PATH &Path, const platform::DIRECTORY_ENUMERATION &Enumeration, TREE_TOTALS &Totals) {
  const PATH_CHAR *const Name = platform::EntryName(Enumeration);
  const size_t OldLength = Path.Length();
  if (!Path.AppendEntry(Name)) {
    ReportNotRemoved(DisplayForm(Path.Text()), Name);
    return;
  }
  const platform::PLACE Place{Path.Text(), &Enumeration};
  const REPARSE_KIND Kind = ClassifyReparsePoint(Place);
  if (Kind == NotALink && DeleteDirectoryContents(Path, &Enumeration, Totals)) {
    Totals.Directories += 1;
    RemoveAndReport(Place);
  } else {
    RemoveLink(Place, Kind == NotALink ? VolumeMountPoint : Kind, Totals);
  }
  Path.CutBack(OldLength);
}

}  // namespace

void ReportNotRemoved(const PATH_CHAR *Path, const PATH_CHAR *Name) {
  platform::PrintPathMessage(CouldNotRemoveMessage, Path, Name);
}

bool RemoveEmptiedFolder(const platform::PLACE &Place) {
  platform::ResetAttributes(Place);
  return platform::RemoveFolder(Place);
}

void RemoveAndReport(const platform::PLACE &Place) {
  const bool Removed = RemoveEmptiedFolder(Place);
  platform::PrintPathMessage(Removed ? RemovingMessage : CouldNotRemoveMessage, DisplayForm(Place.Path));
}

void DeleteEntry(WORKING_PATH &Path, const platform::DIRECTORY_ENUMERATION &Enumeration, TREE_TOTALS &Totals) {
  if (!platform::EntryIsFolder(Enumeration))
    DeleteFileEntry(Path, Enumeration, Totals);
  else if (!IsDotOrDotDot(platform::EntryName(Enumeration)))
    DeleteSubdirectory(Path, Enumeration, Totals);
}

bool DeleteDirectoryContents(WORKING_PATH &Path, const platform::DIRECTORY_ENUMERATION *Parent, TREE_TOTALS &Totals) {
  platform::DIRECTORY_ENUMERATION Enumeration;
  if (!OpenDirectory(Path, Parent, Enumeration))
    return !platform::FoundMountRoot(Enumeration);  // else unreadable or gone: treated as empty, its removal says so
  while (platform::ReadEntry(Enumeration))
    DeleteEntry(Path, Enumeration, Totals);
  platform::CloseEnumeration(Enumeration);
  return true;
}

void DeleteTreeContents(WORKING_PATH &Path, TREE_TOTALS &Totals, WALK_CREW *Crew) {
  const platform::PLACE Place{Path.Text(), nullptr};
  const REPARSE_KIND Kind = ClassifyReparsePoint(Place);
  if (Kind == NotALink) {
    // Without a crew, or when it has no threads to give, the one-thread walk.
    if (Crew == nullptr || !Crew->DeleteDirectoryContents(Path, Totals))
      DeleteDirectoryContents(Path, nullptr, Totals);
  } else if (Kind != UnreadableLink) {
    RemoveLink(Place, Kind, Totals);
  }
  // An argument that is an unreadable link is left to the final removal.
}
