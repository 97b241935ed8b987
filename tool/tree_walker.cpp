#include "tool/tree_walker.h"

#include "platform/console.h"
#include "tool/reparse_point.h"

namespace {

constexpr char RemovingMessage[] = "Removing '%s'\n";
constexpr char CouldNotRemoveMessage[] = "Could not remove '%s'\n";
constexpr char CouldNotDeleteMessage[] = "Could not delete '%s'\n";

bool IsDotOrDotDot(const PATH_CHAR *Name) {
  return Name[0] == '.' && (Name[1] == 0 || (Name[1] == '.' && Name[2] == 0));
}

// Links are removed as links and never entered; a mounted volume stays.
void RemoveLink(const platform::PLACE &Place, REPARSE_KIND Kind, TREE_TOTALS &Totals) {
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
    // keeps its parent from going, and this line says why.
    if (!platform::RemoveFolder(Place))
      ReportNotRemoved(DisplayForm(Place.Path));
    break;
  case VolumeMountPoint:
  case NotALink:
    break;
  }
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
  if (Kind == NotALink) {
    DeleteDirectoryContents(Path, &Enumeration, Totals);
    Totals.Directories += 1;
    RemoveAndReport(Place);
  } else {
    RemoveLink(Place, Kind, Totals);
  }
  Path.CutBack(OldLength);
}

// Opens the directory at Path, with the enumeration pattern behind it only for
// the duration of the call.
bool OpenDirectory(WORKING_PATH &Path, const platform::DIRECTORY_ENUMERATION *Parent,
                   platform::DIRECTORY_ENUMERATION &Enumeration) {
  const size_t OldLength = Path.Length();
  if (!Path.AppendPattern())
    return false;
  const bool Opened = platform::OpenEnumeration(Enumeration, platform::PLACE{Path.Text(), Parent});
  Path.CutBack(OldLength);
  return Opened;
}

}  // namespace

void ReportNotRemoved(const PATH_CHAR *Path, const PATH_CHAR *Name) {
  platform::PrintPathMessage(CouldNotRemoveMessage, Path, Name);
}

void RemoveAndReport(const platform::PLACE &Place) {
  platform::ResetAttributes(Place);
  const bool Removed = platform::RemoveFolder(Place);
  platform::PrintPathMessage(Removed ? RemovingMessage : CouldNotRemoveMessage, DisplayForm(Place.Path));
}

void DeleteDirectoryContents(WORKING_PATH &Path, const platform::DIRECTORY_ENUMERATION *Parent, TREE_TOTALS &Totals) {
  platform::DIRECTORY_ENUMERATION Enumeration;
  if (!OpenDirectory(Path, Parent, Enumeration))
    return;  // unreadable or gone: treated as empty, and its removal will say so
  while (platform::ReadEntry(Enumeration)) {
    if (!platform::EntryIsFolder(Enumeration))
      DeleteFileEntry(Path, Enumeration, Totals);
    else if (!IsDotOrDotDot(platform::EntryName(Enumeration)))
      DeleteSubdirectory(Path, Enumeration, Totals);
  }
  platform::CloseEnumeration(Enumeration);
}

void DeleteTreeContents(WORKING_PATH &Path, TREE_TOTALS &Totals) {
  const platform::PLACE Place{Path.Text(), nullptr};
  const REPARSE_KIND Kind = ClassifyReparsePoint(Place);
  if (Kind == NotALink)
    DeleteDirectoryContents(Path, nullptr, Totals);
  else if (Kind != UnreadableLink)
    RemoveLink(Place, Kind, Totals);
  // An argument that is an unreadable link is left to the final removal.
}
