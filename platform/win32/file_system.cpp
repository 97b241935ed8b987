#include "platform/file_system.h"

#include <windows.h>
#include <winioctl.h>

#include <cstdint>
#include <cstdio>
#include <cwchar>

#include "platform/win32/wine_host.h"

namespace platform {

const wchar_t LongPathPrefix[] = L"\\\\?\\";
const size_t LongPathPrefixLength = 4;
const wchar_t PathSeparator = L'\\';
const wchar_t EnumerationPattern[] = L"\\*.*";
const size_t EnumerationPatternLength = 4;

namespace {

static_assert(sizeof(WIN32_FIND_DATAW) <= sizeof(DIRECTORY_ENUMERATION::FindData));
static_assert(alignof(WIN32_FIND_DATAW) <= 8);

WIN32_FIND_DATAW &FindData(DIRECTORY_ENUMERATION &Enumeration) {
  return *reinterpret_cast<WIN32_FIND_DATAW *>(Enumeration.FindData);
}

const WIN32_FIND_DATAW &FindData(const DIRECTORY_ENUMERATION &Enumeration) {
  return *reinterpret_cast<const WIN32_FIND_DATAW *>(Enumeration.FindData);
}

using wine_host::HOST_ENTRY;

// Whether the Windows calls may act on the entry: on Windows always, under
// Wine only where the host says it is no link. Anything the host cannot vouch
// for is left as it is.
bool WindowsCallsReachTheEntry(HOST_ENTRY Entry) {
  return Entry == HOST_ENTRY::NoHost || Entry == HOST_ENTRY::Directory || Entry == HOST_ENTRY::File;
}

// What the host says the entry at Place is: below an argument through the host
// descriptor of its folder, so that a folder swapped for a link by a host
// process is never looked through.
HOST_ENTRY LookAt(const PLACE &Place) {
  if (Place.Parent == nullptr || Place.Parent->HostDescriptor < 0)
    return wine_host::LookAt(Place.Path);
  return wine_host::LookAtIn(Place.Parent->HostDescriptor, Place.Path);
}

// Under Wine, an entry below an argument is removed by the host, through its
// folder's host descriptor.
bool RemovedByTheHost(const PLACE &Place) { return Place.Parent != nullptr && Place.Parent->HostDescriptor >= 0; }

// Removes an entry through the host while holding it open for deletion: a
// Windows program that holds it without sharing deletion keeps it, as it would
// keep it from the Windows calls. The open only asks; the host removes.
bool RemoveSharingDeletion(const PLACE &Place, bool Folder) {
  const HANDLE Entry = CreateFileW(Place.Path, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (Entry == INVALID_HANDLE_VALUE)
    return false;
  const bool Removed = wine_host::RemoveIn(Place.Parent->HostDescriptor, Place.Path, Folder);
  CloseHandle(Entry);
  return Removed;
}

bool RanOut(DWORD Error) {
  return Error == ERROR_TOO_MANY_OPEN_FILES || Error == ERROR_NOT_ENOUGH_MEMORY || Error == ERROR_OUTOFMEMORY ||
         Error == ERROR_NO_SYSTEM_RESOURCES;
}

// Host errors that say descriptors or memory ran out: EMFILE, ENFILE, ENOMEM.
bool HostRanOut(long long Result) { return Result == -24 || Result == -23 || Result == -12; }

// Room for a working path, terminator included.
constexpr size_t FolderPathCapacity = 8192;

// Why a folder is held, and how. Every Windows call below an argument names its
// entry by the full path, which the system resolves component by component: a
// folder of that path swapped for a junction or link between the listing and
// the call would lead it out of the tree. So each folder the walk works in is
// opened when it is entered and held until its contents are done: without
// sharing deletion, nobody can rename or remove it meanwhile, and with every
// folder from the argument down held, the only component of an entry's path
// left to chance is the entry's own name, which the written calls take as the
// link itself, never its target. The handle is opened without following a
// reparse point and must show a directory that is none: one that turned into
// a link since it was classified is not entered, and its removal takes the link.
// This keeps the written calls and their messages; opening each entry relative
// to its folder's handle would do without paths, but would replace every call
// the walk makes with native ones for no safety the held folders lack.
//
// Under Wine, a host process is not bound by Windows sharing: it can still
// rename a held folder and put a link in its place. There the folder is also
// opened on the host, through its parent's host descriptor without following a
// link, and must be the directory the handle holds; everything below it is then
// looked at and removed through that descriptor, as the POSIX build does, and
// the handle still keeps Windows programs from moving it away.
[[gnu::noinline]] bool HoldFolder(DIRECTORY_ENUMERATION &Enumeration, const PLACE &Place, bool *RanOutOfHandles) {
  const size_t Length = std::wcslen(Place.Path);
  if (Length < EnumerationPatternLength || Length - EnumerationPatternLength >= FolderPathCapacity)
    return false;
  wchar_t Path[FolderPathCapacity];
  std::wmemcpy(Path, Place.Path, Length - EnumerationPatternLength);
  Path[Length - EnumerationPatternLength] = L'\0';
  const HANDLE Folder = CreateFileW(Path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (Folder == INVALID_HANDLE_VALUE) {
    *RanOutOfHandles = RanOut(GetLastError());
    return false;
  }
  FILE_ATTRIBUTE_TAG_INFO Tag{};
  bool Held = GetFileInformationByHandleEx(Folder, FileAttributeTagInfo, &Tag, sizeof Tag) &&
              (Tag.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == FILE_ATTRIBUTE_DIRECTORY;
  long long Host = -1;
  if (Held && wine_host::UnderWine()) {
    Host = wine_host::OpenDirectoryIn(Place.Parent != nullptr ? Place.Parent->HostDescriptor : -1, Path);
    *RanOutOfHandles = HostRanOut(Host);
    BY_HANDLE_FILE_INFORMATION Information;
    uint64_t Inode = 0;
    // Wine gives the host's inode number as the file index.
    Held = Host >= 0 && GetFileInformationByHandle(Folder, &Information) && wine_host::InodeOf(Host, Inode) &&
           Inode == ((static_cast<uint64_t>(Information.nFileIndexHigh) << 32) | Information.nFileIndexLow);
    if (!Held && Host >= 0)
      wine_host::CloseDescriptor(Host);
  }
  if (!Held) {
    CloseHandle(Folder);
    return false;
  }
  Enumeration.Folder = Folder;
  Enumeration.HostDescriptor = Host;
  return true;
}

bool IsSeparator(wchar_t Character) { return Character == L'\\' || Character == L'/'; }

// How much of a full path is its root, which keeps its separator: "C:\" of a
// drive, the two of a network path, or a lone separator.
size_t RootLength(const wchar_t *Path, size_t Length) {
  if (Length >= 3 && Path[1] == L':' && IsSeparator(Path[2]))
    return 3;
  if (Length >= 2 && IsSeparator(Path[0]) && IsSeparator(Path[1]))
    return 2;
  return 1;
}

}  // namespace

void PrepareForDeepWalk() {
  // The main thread's stack reserve, set at link time, is what a deep walk
  // needs here. What remains is to find out whether the host is to be asked.
  wine_host::Detect();
}

void RunDeepWalk(size_t, void (*Walk)(void *), void *Context) {
  // The executable reserves 15,000,000 bytes for its main thread.
  Walk(Context);
}

size_t StartWorkingPath(wchar_t *Buffer, size_t Capacity) {
  wcscpy_s(Buffer, Capacity, LongPathPrefix);
  return LongPathPrefixLength;
}

size_t ResolveFullPath(const wchar_t *Argument, wchar_t *Buffer, size_t Capacity) {
  // Returns the length without the terminator when it fitted, else the size
  // it would need including the terminator, or 0 on failure.
  size_t Length = GetFullPathNameW(Argument, static_cast<DWORD>(Capacity), Buffer, nullptr);
  if (Length == 0 || Length >= Capacity)
    return Length;
  // "dir\" as tab completion writes it: behind the prefix a trailing separator
  // would name no directory, and its enumeration pattern would fail.
  const size_t Root = RootLength(Buffer, Length);
  while (Length > Root && IsSeparator(Buffer[Length - 1]))
    --Length;
  Buffer[Length] = L'\0';
  return Length;
}

bool OpenEnumeration(DIRECTORY_ENUMERATION &Enumeration, const PLACE &Place, bool *RanOutOfHandles) {
  bool Shortage = false;
  Enumeration.FindHandle = INVALID_HANDLE_VALUE;
  Enumeration.FirstPending = false;
  if (HoldFolder(Enumeration, Place, &Shortage)) {
    Enumeration.FindHandle = FindFirstFileW(Place.Path, &FindData(Enumeration));
    Enumeration.FirstPending = true;
    if (Enumeration.FindHandle == INVALID_HANDLE_VALUE) {
      Shortage = RanOut(GetLastError());
      CloseEnumeration(Enumeration);
    }
  }
  if (RanOutOfHandles != nullptr)
    *RanOutOfHandles = Shortage;
  return Enumeration.FindHandle != INVALID_HANDLE_VALUE;
}

bool ReadEntry(DIRECTORY_ENUMERATION &Enumeration) {
  if (Enumeration.FirstPending) {
    Enumeration.FirstPending = false;
    return true;
  }
  return FindNextFileW(Enumeration.FindHandle, &FindData(Enumeration)) != FALSE;
}

void FinishEnumeration(DIRECTORY_ENUMERATION &Enumeration) {
  // The listing is done; the folder stays held while its entries are deleted.
  FindClose(Enumeration.FindHandle);
  Enumeration.FindHandle = INVALID_HANDLE_VALUE;
}

void CloseEnumeration(DIRECTORY_ENUMERATION &Enumeration) {
  // Just before the folder's own removal: let go of it, so that it can go.
  if (Enumeration.FindHandle != INVALID_HANDLE_VALUE)
    FindClose(Enumeration.FindHandle);
  Enumeration.FindHandle = INVALID_HANDLE_VALUE;
  CloseHandle(Enumeration.Folder);
  if (Enumeration.HostDescriptor >= 0)
    wine_host::CloseDescriptor(Enumeration.HostDescriptor);
  Enumeration.HostDescriptor = -1;
}

bool ListingDependsOnOtherEntries(const PLACE &Place) {
  // Windows lists a link whatever its target; Wine lists a host link only
  // while its target exists, and shows it as what the target is.
  return wine_host::UnderWine() && wine_host::MayHoldLinks(Place.Path);
}

const wchar_t *EntryName(const DIRECTORY_ENUMERATION &Enumeration) { return FindData(Enumeration).cFileName; }

bool EntryIsFolder(const DIRECTORY_ENUMERATION &Enumeration) {
  return (FindData(Enumeration).dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool EntryLooksThroughALink(const DIRECTORY_ENUMERATION &) {
  // The directory bit is the entry's own, a link's included.
  return false;
}

uint64_t ListedSize(const DIRECTORY_ENUMERATION &Enumeration) {
  const WIN32_FIND_DATAW &Data = FindData(Enumeration);
  return (static_cast<uint64_t>(Data.nFileSizeHigh) << 32) | Data.nFileSizeLow;
}

uint64_t EntrySize(const PLACE &Place) {
  // Under Wine a link to a file is listed with its target's size, which
  // removing the link does not free.
  if (Place.Parent == nullptr || !WindowsCallsReachTheEntry(LookAt(Place)))
    return 0;
  return Place.Name != nullptr ? Place.ListedSize : ListedSize(*Place.Parent);
}

void ResetAttributes(const PLACE &Place) {
  // The host removes entries whatever their attributes and modes; by path,
  // Wine could change them on a link's target or through a swapped folder.
  if (!RemovedByTheHost(Place) && WindowsCallsReachTheEntry(LookAt(Place)))
    SetFileAttributesW(Place.Path, FILE_ATTRIBUTE_NORMAL);
}

bool DeleteFileEntry(const PLACE &Place) {
  switch (LookAt(Place)) {
  case HOST_ENTRY::NoHost:
    return _wremove(Place.Path) != -1;
  case HOST_ENTRY::File:
    return RemovedByTheHost(Place) ? RemoveSharingDeletion(Place, false) : _wremove(Place.Path) != -1;
  case HOST_ENTRY::SymbolicLink:
    // Under Wine a link to a file is listed as that file, and _wremove would
    // delete the target; the host removes the link itself.
    return RemoveSymbolicLink(Place);
  case HOST_ENTRY::Unknown:
  case HOST_ENTRY::Missing:
  case HOST_ENTRY::Directory:
    break;
  }
  return false;  // what the host cannot tell, or no file after all: left and reported
}

bool RemoveFolder(const PLACE &Place) {
  // Under Wine RemoveDirectoryW on a link removes an empty target and keeps
  // the link: only a directory the host vouches for is removed this way.
  const HOST_ENTRY Entry = LookAt(Place);
  if (Entry != HOST_ENTRY::NoHost && Entry != HOST_ENTRY::Directory)
    return false;
  return RemovedByTheHost(Place) ? RemoveSharingDeletion(Place, true) : RemoveDirectoryW(Place.Path) != FALSE;
}

bool RemoveSymbolicLink(const PLACE &Place) {
  if (RemovedByTheHost(Place))
    return wine_host::RemoveIn(Place.Parent->HostDescriptor, Place.Path, false);
  if (wine_host::UnderWine())
    return wine_host::RemoveLink(Place.Path);
  // A link made to a directory carries the directory bit and is removed as one.
  const DWORD Attributes = GetFileAttributesW(Place.Path);
  if (Attributes != INVALID_FILE_ATTRIBUTES && (Attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
    return RemoveDirectoryW(Place.Path) != FALSE;
  return DeleteFileW(Place.Path) != FALSE;
}

LINK_PROBE ProbeLink(const PLACE &Place, unsigned char *Buffer, uint32_t Capacity, uint32_t &Returned) {
  Returned = 0;
  // Under Wine the host knows its links, which Windows sees as unreadable
  // reparse points; where it cannot tell, the entry is never entered.
  switch (LookAt(Place)) {
  case HOST_ENTRY::SymbolicLink:
    return LINK_PROBE::PosixSymbolicLink;
  case HOST_ENTRY::Unknown:
    return LINK_PROBE::UnreadableReparse;
  case HOST_ENTRY::NoHost:
  case HOST_ENTRY::Missing:
  case HOST_ENTRY::Directory:
  case HOST_ENTRY::File:
    break;
  }
  const DWORD Attributes = GetFileAttributesW(Place.Path);
  if (Attributes == INVALID_FILE_ATTRIBUTES || (Attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
    return LINK_PROBE::Ordinary;
  // No data access; the link itself, not its target, and directories too.
  const HANDLE Link = CreateFileW(Place.Path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (Link == INVALID_HANDLE_VALUE)
    return LINK_PROBE::UnreadableReparse;
  DWORD BytesReturned = 0;
  const BOOL Read =
      DeviceIoControl(Link, FSCTL_GET_REPARSE_POINT, nullptr, 0, Buffer, Capacity, &BytesReturned, nullptr);
  CloseHandle(Link);
  if (!Read)
    return LINK_PROBE::UnreadableReparse;
  Returned = BytesReturned;
  return LINK_PROBE::ReparseData;
}

}  // namespace platform
