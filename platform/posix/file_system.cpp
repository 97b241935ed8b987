#include "platform/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace platform {

const char LongPathPrefix[] = "";
const size_t LongPathPrefixLength = 0;
const char PathSeparator = '/';
const char EnumerationPattern[] = "";
const size_t EnumerationPatternLength = 0;

namespace {

constexpr int DirectoryOpenFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// Room for the records one getdents64 delivers: as the C library's directory
// streams take, so that large folders are read in few calls.
constexpr uint32_t ListingCapacity = 32768;

// Opens the directory that holds the last component of the absolute path
// Path, one component at a time from the root, so that no call sees more than
// one name. Each earlier component is resolved as the system resolves a path:
// a symbolic link there is followed. Returns the descriptor, or -1.
int OpenHoldingDirectory(const char *Path, const char *LastComponent) {
  int Directory = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
  char Component[NAME_MAX + 1];
  const char *Cursor = Path;
  while (Directory >= 0) {
    while (*Cursor == '/')
      ++Cursor;
    if (Cursor >= LastComponent)
      break;
    const char *End = std::strchr(Cursor, '/');
    const size_t Length = static_cast<size_t>(End - Cursor);
    int Next = -1;
    if (Length <= NAME_MAX) {
      std::memcpy(Component, Cursor, Length);
      Component[Length] = '\0';
      Next = openat(Directory, Component, O_PATH | O_DIRECTORY | O_CLOEXEC);
    }
    close(Directory);
    Directory = Next;
    Cursor = End;
  }
  return Directory;
}

// The descriptor and name the POSIX calls take for a place: the parent's
// descriptor and the entry's name below an argument. For the argument itself,
// the full path while the system takes it whole; beyond that, the directory
// holding its last component, opened here and closed with this object, and
// that component (the last component itself is never followed).
class RELATIVE_NAME {
  bool Owned = false;  // Directory was opened here

public:
  int Directory = AT_FDCWD;
  const char *Name;

  explicit RELATIVE_NAME(const PLACE &Place) : Name(Place.Path) {
    if (Place.Parent != nullptr) {
      Directory = Place.Parent->Descriptor;
      Name = Place.Name != nullptr ? Place.Name : EntryName(*Place.Parent);
      return;
    }
    const char *const LastSlash = std::strrchr(Place.Path, '/');
    if (std::strlen(Place.Path) < PATH_MAX || Place.Path[0] != '/' || LastSlash[1] == '\0')
      return;
    Name = LastSlash + 1;
    Directory = OpenHoldingDirectory(Place.Path, Name);
    Owned = true;
  }
  ~RELATIVE_NAME() {
    if (Owned && Directory >= 0)
      close(Directory);
  }
  RELATIVE_NAME(const RELATIVE_NAME &) = delete;
  RELATIVE_NAME &operator=(const RELATIVE_NAME &) = delete;
};

const dirent64 &CurrentEntry(const DIRECTORY_ENUMERATION &Enumeration) {
  return *static_cast<const dirent64 *>(Enumeration.Entry);
}

// The entry's own type, asked of the file system where the listing left it out.
unsigned char EntryType(const DIRECTORY_ENUMERATION &Enumeration) {
  const dirent64 &Entry = CurrentEntry(Enumeration);
  if (Entry.d_type != DT_UNKNOWN)
    return Entry.d_type;
  struct stat Status;
  if (fstatat(Enumeration.Descriptor, Entry.d_name, &Status, AT_SYMLINK_NOFOLLOW) != 0)
    return DT_UNKNOWN;
  return S_ISDIR(Status.st_mode) ? DT_DIR : S_ISLNK(Status.st_mode) ? DT_LNK : DT_REG;
}

// Records whether the last call failed for want of descriptors or memory.
void NoteShortage(bool *RanOutOfHandles) {
  if (RanOutOfHandles != nullptr)
    *RanOutOfHandles = errno == EMFILE || errno == ENFILE || errno == ENOMEM;
}

// What an open descriptor is, and on which mount. A bind mount of the same
// file system has the same device number, so only the mount tells whether a
// folder is still on its parent's mount.
struct FOLDER_IDENTITY {
  uint64_t Device;
  uint64_t Inode;
  uint64_t MountId;  // 0 where the system cannot tell (no mount ids, no /proc)
  uint32_t Mode;
  bool MountRoot;
};

bool IsMountRootAttribute(const struct statx &Status) {
  return (Status.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 && (Status.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
}

// The mount id the kernel lists for a descriptor ("mnt_id:" in its fdinfo,
// the id /proc/self/mountinfo names mounts by), for kernels whose statx has
// none (before 5.8). Device numbers with mountinfo alone cannot tell two bind
// mounts of one file system apart; the descriptor's own entry can. Read into
// the stack, nothing allocated. False when it cannot be read for want of
// descriptors (errno says so); without /proc, 0: the device number decides.
bool ReadListedMountId(int Descriptor, uint64_t &MountId) {
  MountId = 0;
  char Text[512];
  std::snprintf(Text, sizeof Text, "/proc/self/fdinfo/%d", Descriptor);
  const int Info = open(Text, O_RDONLY | O_CLOEXEC);
  if (Info < 0)
    return errno != EMFILE && errno != ENFILE && errno != ENOMEM;
  const ssize_t Got = read(Info, Text, sizeof Text - 1);
  close(Info);
  Text[Got > 0 ? Got : 0] = '\0';
  const char *const Field = std::strstr(Text, "\nmnt_id:");
  if (Field != nullptr)
    MountId = std::strtoull(Field + 8, nullptr, 10);
  return true;
}

// One statx of the open descriptor: a folder costs no more than before.
bool ReadIdentity(int Descriptor, FOLDER_IDENTITY &Identity) {
  struct statx Status;
  if (statx(Descriptor, "", AT_EMPTY_PATH, STATX_TYPE | STATX_MODE | STATX_INO | STATX_MNT_ID, &Status) != 0)
    return false;
  Identity.Device = makedev(Status.stx_dev_major, Status.stx_dev_minor);
  Identity.Inode = Status.stx_ino;
  Identity.Mode = Status.stx_mode;
  Identity.MountRoot = IsMountRootAttribute(Status);
  Identity.MountId = Status.stx_mnt_id;
  return (Status.stx_mask & STATX_MNT_ID) != 0 || ReadListedMountId(Descriptor, Identity.MountId);
}

// What the classification of the last argument on this thread saw, for its
// opening to check against: the argument is classified and then opened (and
// reopened, where a parallel walk ran out of descriptors) on one thread.
struct ARGUMENT_SEEN {
  uint64_t PathHash;
  size_t PathLength;
  bool Known;  // Identity was read; an argument classified without it is not opened
  FOLDER_IDENTITY Identity;
};
constinit thread_local ARGUMENT_SEEN SeenArgument{};

uint64_t HashPath(const char *Path, size_t &Length) {
  uint64_t Hash = 14695981039346656037u;
  for (Length = 0; Path[Length] != '\0'; ++Length)
    Hash = (Hash ^ static_cast<unsigned char>(Path[Length])) * 1099511628211u;
  return Hash;
}

// Whether the folder opened at Place is the one the walker classified: for an
// entry, on its parent's mount; for an argument, the very folder its
// classification saw (or, opened without a classification, no mount root).
bool IsClassifiedFolder(const FOLDER_IDENTITY &Identity, const PLACE &Place) {
  if (Place.Parent != nullptr)
    return Identity.Device == Place.Parent->Device && Identity.MountId == Place.Parent->MountId;
  size_t Length;
  const uint64_t Hash = HashPath(Place.Path, Length);
  const ARGUMENT_SEEN &Seen = SeenArgument;
  if (Seen.PathHash != Hash || Seen.PathLength != Length)
    return !Identity.MountRoot;
  return Seen.Known && Identity.Device == Seen.Identity.Device && Identity.Inode == Seen.Identity.Inode &&
         Identity.MountId == Seen.Identity.MountId;
}

// Kernels whose statx has no mount ids: the argument's is read from a
// descriptor of it, which must be what the classification saw.
bool PinnedMountId(const RELATIVE_NAME &Where, FOLDER_IDENTITY &Seen) {
  const int Pinned = openat(Where.Directory, Where.Name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  FOLDER_IDENTITY Identity;
  const bool Read = Pinned >= 0 && ReadIdentity(Pinned, Identity);
  if (Pinned >= 0)
    close(Pinned);
  Seen.MountId = Read ? Identity.MountId : 0;
  return Read && Identity.Device == Seen.Device && Identity.Inode == Seen.Inode;
}

// An argument has no parent to compare with: it is classified by the mount
// root attribute, and what is seen of it is remembered for its opening.
LINK_PROBE ProbeArgument(const RELATIVE_NAME &Where, const char *Path) {
  ARGUMENT_SEEN &Seen = SeenArgument;
  Seen.PathHash = HashPath(Path, Seen.PathLength);
  Seen.Known = false;
  struct statx Status;
  if (statx(Where.Directory, Where.Name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT,
            STATX_TYPE | STATX_MODE | STATX_INO | STATX_MNT_ID, &Status) != 0)
    return LINK_PROBE::Ordinary;  // gone or unreachable: its opening fails as well
  if (S_ISLNK(Status.stx_mode))
    return LINK_PROBE::PosixSymbolicLink;
  if (S_ISDIR(Status.stx_mode) && IsMountRootAttribute(Status))
    return LINK_PROBE::MountRoot;
  Seen.Identity = FOLDER_IDENTITY{makedev(Status.stx_dev_major, Status.stx_dev_minor), Status.stx_ino,
                                  Status.stx_mnt_id, Status.stx_mode, false};
  Seen.Known = (Status.stx_mask & STATX_MNT_ID) != 0 || PinnedMountId(Where, Seen.Identity);
  return LINK_PROBE::Ordinary;
}

// Opens a directory the caller may not read or search by granting its owner
// read, write and search first. The directory is pinned with an O_PATH
// descriptor, so the mode change reaches the directory that was checked, never
// a link swapped in for it, and a directory that is not the one classified
// (a file system mounted there since) is left as it is.
int OpenAfterGrantingAccess(const RELATIVE_NAME &Where, const PLACE &Place, bool &MountRootFound) {
  const int Pinned = openat(Where.Directory, Where.Name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (Pinned < 0)
    return -1;
  int Opened = -1;
  FOLDER_IDENTITY Identity;
  char ProcessPath[48];
  if (ReadIdentity(Pinned, Identity)) {
    MountRootFound = !IsClassifiedFolder(Identity, Place);
    if (!MountRootFound &&
        std::snprintf(ProcessPath, sizeof ProcessPath, "/proc/self/fd/%d", Pinned) < static_cast<int>(sizeof ProcessPath) &&
        chmod(ProcessPath, (Identity.Mode & 07777) | S_IRWXU) == 0)
      Opened = openat(Pinned, ".", DirectoryOpenFlags);
  }
  const int Error = errno;
  close(Pinned);
  errno = Error;
  return Opened;
}

// A directory whose owner may not write or search it would keep its entries;
// clearing that is this platform's counterpart of resetting attributes.
void GrantOwnerAccess(int Descriptor, uint32_t Mode) {
  if ((Mode & S_IRWXU) != S_IRWXU)
    fchmod(Descriptor, (Mode & 07777) | S_IRWXU);
}

bool IsMountRoot(const struct statx &Status, const PLACE &Place) {
  // Kernels without the attribute: a device number other than the parent's.
  // Bind mounts of the parent's device are told apart when the folder is opened.
  return IsMountRootAttribute(Status) || makedev(Status.stx_dev_major, Status.stx_dev_minor) != Place.Parent->Device;
}

// Appends one path component, refusing what does not fit. Length is the
// current length of Buffer, which stays zero-terminated.
bool AppendComponent(char *Buffer, size_t Capacity, size_t &Length, const char *Component, size_t ComponentLength) {
  const bool NeedsSeparator = Length == 0 || Buffer[Length - 1] != '/';
  const size_t Needed = Length + (NeedsSeparator ? 1 : 0) + ComponentLength;
  if (Needed >= Capacity)
    return false;
  if (NeedsSeparator)
    Buffer[Length++] = '/';
  std::memcpy(Buffer + Length, Component, ComponentLength);
  Length += ComponentLength;
  Buffer[Length] = '\0';
  return true;
}

// Drops the last component, never above the root.
void DropComponent(char *Buffer, size_t &Length) {
  while (Length > 1 && Buffer[Length - 1] != '/')
    --Length;
  if (Length > 1)
    --Length;
  Buffer[Length] = '\0';
}

struct DEEP_WALK {
  void (*Walk)(void *);
  void *Context;
};

void *StartDeepWalk(void *Start) {
  const DEEP_WALK &Walk = *static_cast<DEEP_WALK *>(Start);
  Walk.Walk(Walk.Context);
  return nullptr;
}

}  // namespace

void PrepareForDeepWalk() {
  // One descriptor per level of the walk: take all the process may have.
  struct rlimit Limit;
  if (getrlimit(RLIMIT_NOFILE, &Limit) == 0 && Limit.rlim_cur < Limit.rlim_max) {
    Limit.rlim_cur = Limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &Limit);
  }
}

void RunDeepWalk(size_t StackBytes, void (*Walk)(void *), void *Context) {
  // The main thread's stack is what "ulimit -s" made it; a thread's stack is
  // what the program asks for.
  DEEP_WALK Start{Walk, Context};
  const long PageSize = sysconf(_SC_PAGESIZE);
  const size_t Page = PageSize > 0 ? static_cast<size_t>(PageSize) : 4096;
  const size_t Minimum = static_cast<size_t>(PTHREAD_STACK_MIN);
  const size_t Rounded = (StackBytes < Minimum ? Minimum : StackBytes + Page - 1) / Page * Page;
  pthread_attr_t Attributes;
  pthread_t Thread;
  bool Started = false;
  if (pthread_attr_init(&Attributes) == 0) {
    Started = pthread_attr_setstacksize(&Attributes, Rounded) == 0 &&
              pthread_create(&Thread, &Attributes, StartDeepWalk, &Start) == 0;
    pthread_attr_destroy(&Attributes);
  }
  if (Started)
    pthread_join(Thread, nullptr);
  else
    Walk(Context);
}

size_t StartWorkingPath(char *Buffer, size_t Capacity) {
  if (Capacity > 0)
    Buffer[0] = '\0';
  return 0;
}

size_t ResolveFullPath(const char *Argument, char *Buffer, size_t Capacity) {
  // Lexical on purpose: resolving links would let an argument that is a link
  // lead the deletion to its target.
  if (Argument[0] == '\0' || Capacity < 2)
    return 0;
  size_t Length = 0;
  if (Argument[0] == '/') {
    Buffer[0] = '/';
    Buffer[1] = '\0';
    Length = 1;
  } else {
    if (getcwd(Buffer, Capacity) == nullptr)
      return errno == ERANGE ? Capacity : 0;
    if (Buffer[0] != '/')
      return 0;  // "(unreachable)" and the like: no absolute form
    Length = std::strlen(Buffer);
  }
  const char *Cursor = Argument;
  while (*Cursor != '\0') {
    while (*Cursor == '/')
      ++Cursor;
    const char *End = Cursor;
    while (*End != '\0' && *End != '/')
      ++End;
    const size_t ComponentLength = static_cast<size_t>(End - Cursor);
    if (ComponentLength == 2 && Cursor[0] == '.' && Cursor[1] == '.')
      DropComponent(Buffer, Length);
    else if (ComponentLength > 0 && !(ComponentLength == 1 && Cursor[0] == '.') &&
             !AppendComponent(Buffer, Capacity, Length, Cursor, ComponentLength))
      return Capacity;
    Cursor = End;
  }
  return Length;
}

bool OpenEnumeration(DIRECTORY_ENUMERATION &Enumeration, const PLACE &Place, bool *RanOutOfHandles) {
  if (RanOutOfHandles != nullptr)
    *RanOutOfHandles = false;
  Enumeration.MountRootFound = false;
  const RELATIVE_NAME Where(Place);
  int Descriptor = openat(Where.Directory, Where.Name, DirectoryOpenFlags);
  if (Descriptor < 0 && errno == EACCES)
    Descriptor = OpenAfterGrantingAccess(Where, Place, Enumeration.MountRootFound);
  if (Descriptor < 0) {
    NoteShortage(RanOutOfHandles);
    return false;
  }
  // Checked again on what was opened, after every open and reopen: a file
  // system mounted or moved onto the folder after it was classified, a bind
  // mount of this one included, must not be walked. Unchecked, it is not walked
  // either: a want of descriptors is reported for the walk to retry or report.
  FOLDER_IDENTITY Identity;
  const bool Identified = ReadIdentity(Descriptor, Identity);
  if (!Identified || !IsClassifiedFolder(Identity, Place)) {
    if (!Identified)
      NoteShortage(RanOutOfHandles);
    Enumeration.MountRootFound = Identified;
    close(Descriptor);
    return false;
  }
  GrantOwnerAccess(Descriptor, Identity.Mode);
  // The listing is read with getdents64 directly: a directory stream would
  // check again what was checked here, with three more system calls a folder.
  auto *const Listing = static_cast<unsigned char *>(std::malloc(ListingCapacity));
  if (Listing == nullptr) {
    if (RanOutOfHandles != nullptr)
      *RanOutOfHandles = true;
    close(Descriptor);
    return false;
  }
  Enumeration.Descriptor = Descriptor;
  Enumeration.Device = Identity.Device;
  Enumeration.MountId = Identity.MountId;
  Enumeration.Listing = Listing;
  Enumeration.Filled = 0;
  Enumeration.Next = 0;
  Enumeration.Entry = nullptr;
  return true;
}

bool ReadEntry(DIRECTORY_ENUMERATION &Enumeration) {
  if (Enumeration.Listing == nullptr)
    return false;
  if (Enumeration.Next >= Enumeration.Filled) {
    // The end of the folder, or a failure to read on: either way no more entries.
    const ssize_t Got = getdents64(Enumeration.Descriptor, Enumeration.Listing, ListingCapacity);
    if (Got <= 0)
      return false;
    Enumeration.Filled = static_cast<uint32_t>(Got);
    Enumeration.Next = 0;
  }
  auto *const Entry = reinterpret_cast<dirent64 *>(Enumeration.Listing + Enumeration.Next);
  if (Entry->d_reclen == 0 || Entry->d_reclen > Enumeration.Filled - Enumeration.Next)
    return false;  // a record the kernel never delivers: stop rather than read past it
  Enumeration.Next += Entry->d_reclen;
  Enumeration.Entry = Entry;
  return true;
}

void FinishEnumeration(DIRECTORY_ENUMERATION &Enumeration) {
  // The descriptor stays, for unlinkat on the entries; the listing goes.
  std::free(Enumeration.Listing);
  Enumeration.Listing = nullptr;
  Enumeration.Entry = nullptr;
}

void CloseEnumeration(DIRECTORY_ENUMERATION &Enumeration) {
  FinishEnumeration(Enumeration);
  close(Enumeration.Descriptor);
}

bool ListingDependsOnOtherEntries(const PLACE &) {
  // getdents lists every name, whatever its target is or was.
  return false;
}

const char *EntryName(const DIRECTORY_ENUMERATION &Enumeration) { return CurrentEntry(Enumeration).d_name; }

bool EntryIsFolder(const DIRECTORY_ENUMERATION &Enumeration) {
  const dirent64 &Entry = CurrentEntry(Enumeration);
  // Some file systems do not fill in the type: it is asked, without following a link.
  const unsigned char Type = EntryType(Enumeration);
  if (Type == DT_DIR)
    return true;
  if (Type != DT_LNK)
    return false;
  // As on Windows, where a link to a directory carries the directory bit: it is
  // classified, and removed as a link uncounted. A link to anything else, to
  // nothing or to itself is a file entry, unlinked as the link it is. Only the
  // target's type is looked at; nothing is opened through the link.
  struct stat Target;
  return fstatat(Enumeration.Descriptor, Entry.d_name, &Target, AT_NO_AUTOMOUNT) == 0 && S_ISDIR(Target.st_mode);
}

bool EntryLooksThroughALink(const DIRECTORY_ENUMERATION &Enumeration) { return EntryType(Enumeration) == DT_LNK; }

uint64_t ListedSize(const DIRECTORY_ENUMERATION &) {
  // The listing has no sizes here: EntrySize asks the file.
  return 0;
}

uint64_t EntrySize(const PLACE &Place) {
  // The one call a file costs beyond its unlinking: it asks for the type and
  // the size alone, and a network file system need not fetch fresh attributes
  // for a file about to go.
  const RELATIVE_NAME Where(Place);
  struct statx Status;
  if (statx(Where.Directory, Where.Name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT | AT_STATX_DONT_SYNC,
            STATX_TYPE | STATX_SIZE, &Status) != 0 ||
      S_ISLNK(Status.stx_mode))
    return 0;
  return Status.stx_size;
}

void ResetAttributes(const PLACE &) {
  // Unlinking depends on the parent directory's mode, which OpenEnumeration
  // has already opened up; a file's own mode does not matter.
}

bool DeleteFileEntry(const PLACE &Place) {
  const RELATIVE_NAME Where(Place);
  return unlinkat(Where.Directory, Where.Name, 0) == 0;
}

bool RemoveFolder(const PLACE &Place) {
  const RELATIVE_NAME Where(Place);
  return unlinkat(Where.Directory, Where.Name, AT_REMOVEDIR) == 0;
}

bool RemoveSymbolicLink(const PLACE &Place) {
  const RELATIVE_NAME Where(Place);
  return unlinkat(Where.Directory, Where.Name, 0) == 0;
}

LINK_PROBE ProbeLink(const PLACE &Place, unsigned char *, uint32_t, uint32_t &Returned) {
  Returned = 0;
  const RELATIVE_NAME Where(Place);
  if (Place.Parent == nullptr)
    return ProbeArgument(Where, Place.Path);
  struct statx Status;
  if (statx(Where.Directory, Where.Name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_TYPE, &Status) != 0)
    return LINK_PROBE::Ordinary;
  if (S_ISLNK(Status.stx_mode))
    return LINK_PROBE::PosixSymbolicLink;
  if (S_ISDIR(Status.stx_mode) && IsMountRoot(Status, Place))
    return LINK_PROBE::MountRoot;
  return LINK_PROBE::Ordinary;
}

}  // namespace platform
