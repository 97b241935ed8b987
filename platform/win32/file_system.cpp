#include "platform/file_system.h"

#include <windows.h>
#include <winioctl.h>

#include <cstdio>
#include <cwchar>

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
  // The main thread's stack reserve, set at link time, is what a deep walk needs here.
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

bool OpenEnumeration(DIRECTORY_ENUMERATION &Enumeration, const PLACE &Place) {
  Enumeration.FindHandle = FindFirstFileW(Place.Path, &FindData(Enumeration));
  Enumeration.FirstPending = true;
  return Enumeration.FindHandle != INVALID_HANDLE_VALUE;
}

bool ReadEntry(DIRECTORY_ENUMERATION &Enumeration) {
  if (Enumeration.FirstPending) {
    Enumeration.FirstPending = false;
    return true;
  }
  return FindNextFileW(Enumeration.FindHandle, &FindData(Enumeration)) != FALSE;
}

void CloseEnumeration(DIRECTORY_ENUMERATION &Enumeration) { FindClose(Enumeration.FindHandle); }

const wchar_t *EntryName(const DIRECTORY_ENUMERATION &Enumeration) { return FindData(Enumeration).cFileName; }

bool EntryIsFolder(const DIRECTORY_ENUMERATION &Enumeration) {
  return (FindData(Enumeration).dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

uint64_t EntrySize(const PLACE &Place) {
  if (Place.Parent == nullptr)
    return 0;
  const WIN32_FIND_DATAW &Data = FindData(*Place.Parent);
  return (static_cast<uint64_t>(Data.nFileSizeHigh) << 32) | Data.nFileSizeLow;
}

void ResetAttributes(const PLACE &Place) { SetFileAttributesW(Place.Path, FILE_ATTRIBUTE_NORMAL); }

bool DeleteFileEntry(const PLACE &Place) { return _wremove(Place.Path) != -1; }

bool RemoveFolder(const PLACE &Place) { return RemoveDirectoryW(Place.Path) != FALSE; }

bool RemoveSymbolicLink(const PLACE &Place) {
  // A link made to a directory carries the directory bit and is removed as one.
  const DWORD Attributes = GetFileAttributesW(Place.Path);
  if (Attributes != INVALID_FILE_ATTRIBUTES && (Attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
    return RemoveDirectoryW(Place.Path) != FALSE;
  return DeleteFileW(Place.Path) != FALSE;
}

LINK_PROBE ProbeLink(const PLACE &Place, unsigned char *Buffer, uint32_t Capacity, uint32_t &Returned) {
  Returned = 0;
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
