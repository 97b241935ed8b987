// What the Windows build can learn from the host system when it runs under
// Wine, where the Windows calls cannot tell a Unix symbolic link from its
// target: Wine 8 lists a link to a file as that file and a link to a directory
// as a reparse point whose data cannot be read, and deleting or changing either
// through the Windows calls acts on the target outside the tree.
//
// The host can tell them apart. Wine's ntdll turns an NT path into the host's
// path, and the host's own system calls on that path never follow its last
// component. Both are reached only when the program runs under Wine on a Linux
// host, found out once per process; on Windows itself nothing here calls more
// than the look-up of an export that is not there.
//
// Invariants: nothing here follows a link in a path's last component, allocates
// through the C or C++ heap, or keeps a path beyond the call.
#pragma once

#include <cstdint>

namespace platform::wine_host {

enum class HOST_ENTRY {
  NoHost,        // not under Wine: the Windows calls show what is there
  Unknown,       // under Wine, and the host cannot say what the entry is
  Missing,       // the host has no entry of that name
  SymbolicLink,  // a link, whatever it points to (or to nothing)
  Directory,
  File,          // anything else: regular files, devices, fifos, sockets
};

// Finds out, once per process, whether the program runs under Wine and whether
// the host can be asked. Every call below does so on first use; calling it at
// start-up keeps that out of the walk.
void Detect();
bool UnderWine();

// What the host says the entry at Path, in the "\\?\" long-path form, is.
HOST_ENTRY LookAt(const wchar_t *Path);

// The same, and the operations below, with the entry reached by its name alone
// through Directory, the host descriptor of the folder that holds it (a
// negative Directory: by Path whole, as an argument is reached). A folder of
// Path that a host process swapped for a link is then never followed: only the
// entry's name is taken from Path.
HOST_ENTRY LookAtIn(long long Directory, const wchar_t *Path);

// Opens the directory at Path through Directory without following a link in
// its last component. Returns the host descriptor, or the negated errno.
long long OpenDirectoryIn(long long Directory, const wchar_t *Path);
// Removes the entry at Path through Directory: a directory only when Folder
// is set, else anything but a directory (a link as a link).
bool RemoveIn(long long Directory, const wchar_t *Path, bool Folder);
// The inode number of what Descriptor holds; false when it cannot be had.
bool InodeOf(long long Descriptor, uint64_t &Inode);
void CloseDescriptor(long long Descriptor);

// Whether the directory at Path, in the "\\?\" long-path form, holds a host
// link, or may: true also when the host cannot list it.
bool MayHoldLinks(const wchar_t *Path);

// Removes the entry at Path with the host's unlink, which removes a link as a
// link and never a directory. False when that did not happen, and always when
// not under Wine.
bool RemoveLink(const wchar_t *Path);

// A Linux system call made directly, for a program that runs under Wine on a
// Linux host (nowhere else): Wine passes it through to the kernel. Returns
// what the kernel returns, a negated errno on failure.
long long HostCall(long long Number, long long First, long long Second = 0, long long Third = 0,
                   long long Fourth = 0);

}  // namespace platform::wine_host
