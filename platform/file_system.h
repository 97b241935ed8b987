// The file-system operations the tree walker needs, and nothing more.
//
// The walker names every entry by a PLACE: the full working path (for the
// Windows calls and for messages) and, below a command-line argument, the open
// enumeration of the parent whose current entry it is, or which listed it
// under the name the place carries (for the POSIX calls, which act relative to
// the parent's descriptor so that a directory swapped for a link is never
// followed; an argument is reached from the root component by component when
// its full path is longer than the system takes). Every operation reports
// failure as a result; none prints, throws or allocates per entry, and any
// number of threads may act on different entries at once.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/entry.h"

namespace platform {

// One level of a directory walk: the platform's enumeration handle and its
// current entry. Lives in the walker's frame or a parallel walk's folder
// record; the name it hands out stays valid until the next ReadEntry,
// FinishEnumeration or CloseEnumeration.
struct DIRECTORY_ENUMERATION {
#ifdef _WIN32
  void *FindHandle;                        // HANDLE from FindFirstFileW; closed once every entry is read
  void *Folder;                            // HANDLE holding the directory until CloseEnumeration
  long long HostDescriptor;                // under Wine: the directory's host descriptor, else -1
  bool FirstPending;                       // FindFirstFileW already delivered an entry
  alignas(8) unsigned char FindData[592];  // WIN32_FIND_DATAW, without <windows.h> here
#else
  int Descriptor;          // the directory, opened relative to its parent without following links
  uint64_t Device;         // its device number and the mount it was opened on: a subdirectory on
  uint64_t MountId;        // another mount is a mount root, even a bind mount of the same device
  bool MountRootFound;     // the last open failed because it found the root of another mount
  unsigned char *Listing;  // what the last getdents64 delivered; null once every entry is read
  uint32_t Filled;         // bytes of Listing delivered
  uint32_t Next;           // where the record after the current one starts
  void *Entry;             // struct dirent64 of the current entry, inside Listing
#endif
};

struct PLACE {
  const PATH_CHAR *Path;                // zero-terminated full working path
  const DIRECTORY_ENUMERATION *Parent;  // null for a command-line argument
  // Set when the entry is no longer Parent's current one (a parallel walk
  // deletes files after their folder's listing has moved on): its name in
  // Parent, and the size its listing gave where the platform lists sizes.
  const PATH_CHAR *Name = nullptr;
  uint64_t ListedSize = 0;
};

// What the file system says about a directory before the walker enters it.
enum class LINK_PROBE {
  Ordinary,            // no link: walk it
  ReparseData,         // reparse data was read into the caller's buffer
  UnreadableReparse,   // marked as a reparse point but its data could not be read
  PosixSymbolicLink,   // a POSIX symbolic link, also the host's under Wine (no file/directory flavours)
  MountRoot,           // the root of another mounted file system
};

// The buffer a link probe reads reparse data into: room for the largest
// reparse data Windows returns; POSIX links carry none, so a token suffices and
// no walk frame there ever holds the large one.
#ifdef _WIN32
constexpr uint32_t ReparseDataCapacity = 17000;
#else
constexpr uint32_t ReparseDataCapacity = 8;
#endif

// Room for the longest name an enumeration delivers, terminator included.
#ifdef _WIN32
constexpr size_t EntryNameCapacity = 260;  // MAX_PATH, the size of cFileName
#else
constexpr size_t EntryNameCapacity = 256;  // NAME_MAX and the terminator
#endif

// Whether the operations on an entry below an argument reach it by its full
// path (Windows) or by its parent's descriptor and its name alone (POSIX,
// where the path serves only messages).
#ifdef _WIN32
constexpr bool EntriesAreReachedByPath = true;
#else
constexpr bool EntriesAreReachedByPath = false;
#endif

// "\\?\" on Windows, nothing on POSIX.
extern const PATH_CHAR LongPathPrefix[];
extern const size_t LongPathPrefixLength;
// The separator put between a directory and an entry name.
extern const PATH_CHAR PathSeparator;
// Appended behind a directory's path to enumerate it ("\*.*"; empty on POSIX).
extern const PATH_CHAR EnumerationPattern[];
extern const size_t EnumerationPatternLength;

// Process start: lets a deep walk hold one descriptor per level where the
// platform counts them, and settles how entries are looked at (under Wine,
// whether the host can be asked about them).
void PrepareForDeepWalk();

// Runs Walk(Context) on a stack of at least StackBytes and returns when it has
// finished: on a thread of its own where the caller's stack is whatever the
// user's limits made it (POSIX), on the caller's own where the executable
// reserves enough (Windows). When no such thread can be had, Walk runs on the
// caller's stack all the same.
void RunDeepWalk(size_t StackBytes, void (*Walk)(void *), void *Context);

// Writes the long-path prefix at Buffer[0] (Capacity counts the terminator).
// Returns the prefix length.
size_t StartWorkingPath(PATH_CHAR *Buffer, size_t Capacity);

// Writes the absolute form of Argument into Buffer. Returns its length when it
// fitted, 0 when it could not be resolved, and Capacity or more when it needs
// more room; in the last two cases Buffer's content is unspecified.
size_t ResolveFullPath(const PATH_CHAR *Argument, PATH_CHAR *Buffer, size_t Capacity);

// Opens Place for enumeration; on Windows Place.Path carries the pattern.
// RanOutOfHandles, when given, says whether a failure was for want of
// descriptors, handles or memory, which may be had again once others are closed.
bool OpenEnumeration(DIRECTORY_ENUMERATION &Enumeration, const PLACE &Place, bool *RanOutOfHandles = nullptr);
// Advances to the next entry, "." and ".." included; false at the end.
bool ReadEntry(DIRECTORY_ENUMERATION &Enumeration);
// Every entry has been read: lets go of what only the listing needed and keeps
// what operations on its entries still need (POSIX: the descriptor). Closing
// it afterwards is still required.
void FinishEnumeration(DIRECTORY_ENUMERATION &Enumeration);
void CloseEnumeration(DIRECTORY_ENUMERATION &Enumeration);
// Whether the listing of the directory at Place (the pattern not appended)
// can depend on what happens to other entries of the tree meanwhile: under
// Wine, a folder holding host links, which Wine lists only while their
// targets exist. Anything the platform cannot tell counts as yes.
bool ListingDependsOnOtherEntries(const PLACE &Place);

// After OpenEnumeration failed: whether it found the root of another mount
// where the walker classified an ordinary folder (mounted there since), or an
// argument that is no longer the folder its classification saw. The walker
// leaves such a folder as it leaves a mount root it classified as one.
#ifdef _WIN32
inline bool FoundMountRoot(const DIRECTORY_ENUMERATION &) { return false; }
#else
inline bool FoundMountRoot(const DIRECTORY_ENUMERATION &Enumeration) { return Enumeration.MountRootFound; }
#endif

const PATH_CHAR *EntryName(const DIRECTORY_ENUMERATION &Enumeration);
// True for entries the walker must classify before touching them: directories
// and links to directories. Every other entry, a link to anything else (or to
// nothing) included, is a file entry, deleted as what it is.
bool EntryIsFolder(const DIRECTORY_ENUMERATION &Enumeration);
// True when EntryIsFolder's answer for the current entry came from looking
// through a link at its target, so that it can change while the tree is deleted.
bool EntryLooksThroughALink(const DIRECTORY_ENUMERATION &Enumeration);
// The size the listing gives for the current entry; 0 where the platform
// lists none (EntrySize then asks the file itself).
uint64_t ListedSize(const DIRECTORY_ENUMERATION &Enumeration);
// The size in bytes, 64 bits in full, of the file entry at Place, an entry of
// Place.Parent; 0 for a symbolic link (its target's bytes are not freed) and
// when unknown.
uint64_t EntrySize(const PLACE &Place);

// Clears read-only, hidden and system; the result is ignored by design.
void ResetAttributes(const PLACE &Place);
// Deletes a file entry; true when it is gone.
bool DeleteFileEntry(const PLACE &Place);
// Removes an empty directory, or a directory link without touching its target.
bool RemoveFolder(const PLACE &Place);
// Removes a symbolic link as a link, whatever it points to.
bool RemoveSymbolicLink(const PLACE &Place);

// Reads the reparse data of Place into Buffer (Capacity bytes) when it has any;
// Returned is the number of bytes the platform delivered.
LINK_PROBE ProbeLink(const PLACE &Place, unsigned char *Buffer, uint32_t Capacity, uint32_t &Returned);

}  // namespace platform
