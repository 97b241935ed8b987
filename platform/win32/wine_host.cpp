#include "platform/win32/wine_host.h"

#include <windows.h>
#include <winternl.h>

#include <cstdint>
#include <cstring>
#include <cwchar>

namespace platform::wine_host {

namespace {

static_assert(sizeof(void *) == 8, "the host's system calls are those of Linux on x86-64");

// ntdll's exports under Wine, looked up by name so that Windows, which has none
// of them, never needs them.
using NT_TO_UNIX_NAME = LONG(WINAPI *)(const OBJECT_ATTRIBUTES *Attributes, char *Name, ULONG *Size, UINT Disposition);
using HOST_VERSION = void(CDECL *)(const char **SystemName, const char **Release);

// Linux x86-64 system call numbers, flags and results.
constexpr long long SystemCallClose = 3;
constexpr long long SystemCallUname = 63;
constexpr long long SystemCallListDirectory = 217;  // getdents64
constexpr long long SystemCallOpenAt = 257;
constexpr long long SystemCallStatAt = 262;  // newfstatat
constexpr long long SystemCallUnlinkAt = 263;
constexpr long long SystemCallStatDescriptor = 5;  // fstat
constexpr long long AtCurrentDirectory = -100;
constexpr long long AtSymbolicLinkNoFollow = 0x100;
constexpr long long AtRemoveDirectory = 0x200;
constexpr long long OpenDirectoryNoFollow = 0200000 | 0400000 | 02000000;  // O_DIRECTORY|O_NOFOLLOW|O_CLOEXEC
constexpr unsigned char EntryTypeUnknown = 0;    // DT_UNKNOWN
constexpr unsigned char EntryTypeLink = 10;      // DT_LNK
// struct linux_dirent64: inode, offset, record length, type, name.
constexpr size_t ListedLengthAt = 16;
constexpr size_t ListedTypeAt = 18;
constexpr long long NoSuchEntry = -2;  // -ENOENT
constexpr uint32_t ModeTypeMask = 0170000;
constexpr uint32_t ModeSymbolicLink = 0120000;
constexpr uint32_t ModeDirectory = 0040000;

// The host's path limit: a host path that does not fit cannot be looked at by
// path, so its entry is one the host cannot tell.
constexpr ULONG HostPathCapacity = 4096;
// Room for the longest working path, terminator included.
constexpr size_t NtPathCapacity = 8192;
// FILE_OPEN_IF: the last component need not exist for its name to be made.
constexpr UINT FileOpenIf = 3;
constexpr LONG StatusSuccess = 0;
constexpr LONG StatusNoSuchFile = static_cast<LONG>(0xC000000F);
constexpr ULONG ObjectCaseInsensitive = 0x40;

// The kernel's struct stat on x86-64.
struct HOST_STATUS {
  uint64_t Device, Inode, LinkCount;
  uint32_t Mode, User, Group, Padding;
  uint64_t NodeDevice;  // st_rdev
  int64_t Size, BlockSize, Blocks;
  int64_t Times[6];
  int64_t Reserved[3];
};
static_assert(sizeof(HOST_STATUS) == 144);

struct HOST {
  bool UnderWine = false;
  NT_TO_UNIX_NAME ToUnixName = nullptr;  // null: the host cannot be asked
};

template <typename FUNCTION> FUNCTION Export(HMODULE Module, const char *Name) {
  return reinterpret_cast<FUNCTION>(reinterpret_cast<void *>(GetProcAddress(Module, Name)));
}

HOST Find() {
  HOST Found;
  const HMODULE Ntdll = GetModuleHandleW(L"ntdll.dll");
  if (Ntdll == nullptr || GetProcAddress(Ntdll, "wine_get_version") == nullptr)
    return Found;
  Found.UnderWine = true;
  const auto HostVersion = Export<HOST_VERSION>(Ntdll, "wine_get_host_version");
  const auto ToUnixName = Export<NT_TO_UNIX_NAME>(Ntdll, "wine_nt_to_unix_file_name");
  if (HostVersion == nullptr || ToUnixName == nullptr)
    return Found;
  const char *SystemName = nullptr;
  const char *Release = nullptr;
  HostVersion(&SystemName, &Release);
  if (SystemName == nullptr || std::strcmp(SystemName, "Linux") != 0)
    return Found;
  // The calls below are numbered as on Linux: check that one of them reaches
  // that kernel as such before any of them is trusted with a path.
  char Names[6][65] = {};
  if (HostCall(SystemCallUname, reinterpret_cast<long long>(Names)) != 0 || std::strcmp(Names[0], "Linux") != 0)
    return Found;
  Found.ToUnixName = ToUnixName;
  return Found;
}

const HOST &Host() {
  static const HOST Found = Find();
  return Found;
}

// The host's path of Path, given in the "\\?\" long-path form, whose NT form
// differs in one character: "\??\". False when it has none that fits.
[[gnu::noinline]] bool UnixName(const HOST &Found, const wchar_t *Path, char (&Name)[HostPathCapacity]) {
  const size_t Length = std::wcslen(Path);
  if (Found.ToUnixName == nullptr || Length < 4 || Length >= NtPathCapacity || Path[0] != L'\\' ||
      Path[1] != L'\\' || Path[2] != L'?' || Path[3] != L'\\')
    return false;
  wchar_t NtPath[NtPathCapacity];
  std::wmemcpy(NtPath, Path, Length + 1);
  NtPath[1] = L'?';
  UNICODE_STRING NtName;
  NtName.Length = static_cast<USHORT>(Length * sizeof(wchar_t));
  NtName.MaximumLength = static_cast<USHORT>((Length + 1) * sizeof(wchar_t));
  NtName.Buffer = NtPath;
  OBJECT_ATTRIBUTES Attributes{};
  Attributes.Length = sizeof Attributes;
  Attributes.ObjectName = &NtName;
  Attributes.Attributes = ObjectCaseInsensitive;  // as the Windows calls look names up
  ULONG Size = HostPathCapacity;
  const LONG Status = Found.ToUnixName(&Attributes, Name, &Size, FileOpenIf);
  return (Status == StatusSuccess || Status == StatusNoSuchFile) && std::memchr(Name, 0, HostPathCapacity) != nullptr;
}

// The name a host call takes for the entry at Path: its last component, relative
// to Directory, or its whole host path when Directory is negative.
struct HOST_NAME {
  char Text[HostPathCapacity];
  long long Directory;
  const char *Relative;
};

bool NameIn(const HOST &Found, long long Directory, const wchar_t *Path, HOST_NAME &Name) {
  if (!UnixName(Found, Path, Name.Text))
    return false;
  Name.Directory = Directory < 0 ? AtCurrentDirectory : Directory;
  Name.Relative = Name.Text;
  if (Directory >= 0) {
    const char *const Last = std::strrchr(Name.Text, '/');
    if (Last == nullptr || Last[1] == '\0')
      return false;
    Name.Relative = Last + 1;
  }
  return true;
}

}  // namespace

// A Linux system call made directly: Wine passes it through to the kernel, and
// the host's C library, which would be the usual way, is out of a Windows
// program's reach.
long long HostCall(long long Number, long long First, long long Second, long long Third, long long Fourth) {
  long long Result;
  register long long FourthRegister asm("r10") = Fourth;
  asm volatile("syscall"
               : "=a"(Result)
               : "a"(Number), "D"(First), "S"(Second), "d"(Third), "r"(FourthRegister)
               : "rcx", "r11", "memory");
  return Result;
}

void Detect() { Host(); }

bool UnderWine() { return Host().UnderWine; }

HOST_ENTRY LookAt(const wchar_t *Path) { return LookAtIn(-1, Path); }

[[gnu::noinline]] HOST_ENTRY LookAtIn(long long Directory, const wchar_t *Path) {
  const HOST &Found = Host();
  if (!Found.UnderWine)
    return HOST_ENTRY::NoHost;
  HOST_NAME Name;
  if (!NameIn(Found, Directory, Path, Name))
    return HOST_ENTRY::Unknown;
  HOST_STATUS Status;
  const long long Result = HostCall(SystemCallStatAt, Name.Directory, reinterpret_cast<long long>(Name.Relative),
                                    reinterpret_cast<long long>(&Status), AtSymbolicLinkNoFollow);
  if (Result == NoSuchEntry)
    return HOST_ENTRY::Missing;
  if (Result != 0)
    return HOST_ENTRY::Unknown;
  switch (Status.Mode & ModeTypeMask) {
  case ModeSymbolicLink:
    return HOST_ENTRY::SymbolicLink;
  case ModeDirectory:
    return HOST_ENTRY::Directory;
  default:
    return HOST_ENTRY::File;
  }
}

[[gnu::noinline]] long long OpenDirectoryIn(long long Directory, const wchar_t *Path) {
  HOST_NAME Name;
  if (!NameIn(Host(), Directory, Path, Name))
    return NoSuchEntry;
  return HostCall(SystemCallOpenAt, Name.Directory, reinterpret_cast<long long>(Name.Relative), OpenDirectoryNoFollow);
}

[[gnu::noinline]] bool RemoveIn(long long Directory, const wchar_t *Path, bool Folder) {
  HOST_NAME Name;
  return NameIn(Host(), Directory, Path, Name) &&
         HostCall(SystemCallUnlinkAt, Name.Directory, reinterpret_cast<long long>(Name.Relative),
                  Folder ? AtRemoveDirectory : 0) == 0;
}

bool InodeOf(long long Descriptor, uint64_t &Inode) {
  HOST_STATUS Status;
  if (HostCall(SystemCallStatDescriptor, Descriptor, reinterpret_cast<long long>(&Status)) != 0)
    return false;
  Inode = Status.Inode;
  return true;
}

void CloseDescriptor(long long Descriptor) { HostCall(SystemCallClose, Descriptor); }

[[gnu::noinline]] bool MayHoldLinks(const wchar_t *Path) {
  char Name[HostPathCapacity];
  if (!UnixName(Host(), Path, Name))
    return true;
  const long long Directory =
      HostCall(SystemCallOpenAt, AtCurrentDirectory, reinterpret_cast<long long>(Name), OpenDirectoryNoFollow);
  if (Directory < 0)
    return true;
  alignas(8) unsigned char Listing[4096];
  bool Found = false;
  for (;;) {
    const long long Got = HostCall(SystemCallListDirectory, Directory, reinterpret_cast<long long>(Listing),
                                   static_cast<long long>(sizeof Listing));
    if (Got < 0)
      Found = true;  // cannot tell
    if (Got <= 0 || Found)
      break;
    for (long long At = 0; At + static_cast<long long>(ListedTypeAt) < Got && !Found;) {
      const unsigned char Type = Listing[At + ListedTypeAt];
      Found = Type == EntryTypeLink || Type == EntryTypeUnknown;
      uint16_t Length;
      std::memcpy(&Length, Listing + At + ListedLengthAt, sizeof Length);
      if (Length == 0)
        Found = true;  // a listing the kernel would never give: cannot tell
      At += Length;
    }
  }
  HostCall(SystemCallClose, Directory);
  return Found;
}

bool RemoveLink(const wchar_t *Path) { return Host().UnderWine && RemoveIn(-1, Path, false); }

}  // namespace platform::wine_host
