// What a directory is before the walker touches it: an ordinary directory to
// walk, a link to remove as a link, or a mounted volume to leave alone.
// DecodeReparseData is pure and never reads past the bytes it is given, so any
// buffer, however short or inconsistent, gets an answer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/file_system.h"

enum REPARSE_KIND {
  NotALink = 0,          // ordinary directory, or a reparse point of another kind
  Junction = 1,          // mount-point reparse data naming a path on a drive
  VolumeMountPoint = 2,  // mount-point reparse data naming a volume, or a mount root
  SymbolicLink = 3,      // symbolic-link reparse data, or a POSIX symbolic link
  UnreadableLink = 4,    // a link whose kind or target cannot be told: never entered
};

constexpr uint32_t IoReparseTagMountPoint = 0xA0000003u;
constexpr uint32_t IoReparseTagSymlink = 0xA000000Cu;
// The tag bit that marks reparse points standing for another named entity.
constexpr uint32_t IoReparseTagNameSurrogate = 0x20000000u;
// The buffer FSCTL_GET_REPARSE_POINT reads into (17000 bytes on Windows, a
// token where links carry no reparse data); it lives only during one
// classification, never in a frame of the walk's recursion.
constexpr uint32_t ReparseBufferBytes = platform::ReparseDataCapacity;

// Classifies the bytes of a REPARSE_DATA_BUFFER, of which ByteCount were returned.
REPARSE_KIND DecodeReparseData(const unsigned char *Bytes, size_t ByteCount);

REPARSE_KIND ClassifyReparsePoint(const platform::PLACE &Place);
