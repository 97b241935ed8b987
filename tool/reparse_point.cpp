#include "tool/reparse_point.h"

namespace {

// REPARSE_DATA_BUFFER, mount-point form: tag, data length, reserved, then the
// substitute name's offset and length (bytes, relative to the path buffer).
constexpr size_t SubstituteNameOffsetAt = 8;
constexpr size_t SubstituteNameLengthAt = 10;
constexpr size_t MountPointPathBufferAt = 16;

uint32_t ReadLittle32(const unsigned char *Bytes) {
  return static_cast<uint32_t>(Bytes[0]) | static_cast<uint32_t>(Bytes[1]) << 8 |
         static_cast<uint32_t>(Bytes[2]) << 16 | static_cast<uint32_t>(Bytes[3]) << 24;
}

uint16_t ReadLittle16(const unsigned char *Bytes) {
  return static_cast<uint16_t>(Bytes[0] | Bytes[1] << 8);
}

// A junction names a path on a drive, "\??\C:\...", so its substitute name
// holds a colon; a volume mounted in a folder is named "\??\Volume{...}\".
REPARSE_KIND DecodeMountPoint(const unsigned char *Bytes, size_t ByteCount) {
  if (ByteCount < MountPointPathBufferAt)
    return UnreadableLink;
  const size_t NameStart = MountPointPathBufferAt + ReadLittle16(Bytes + SubstituteNameOffsetAt);
  const size_t NameBytes = ReadLittle16(Bytes + SubstituteNameLengthAt);
  if (NameStart > ByteCount || NameBytes > ByteCount - NameStart)
    return UnreadableLink;  // the name lies beyond what was read: its kind cannot be told
  for (size_t At = NameStart; At + 1 < NameStart + NameBytes; At += 2)
    if (ReadLittle16(Bytes + At) == u':')
      return Junction;
  return VolumeMountPoint;
}

}  // namespace

REPARSE_KIND DecodeReparseData(const unsigned char *Bytes, size_t ByteCount) {
  if (ByteCount < 4)
    return UnreadableLink;
  switch (ReadLittle32(Bytes)) {
  case IoReparseTagMountPoint:
    return DecodeMountPoint(Bytes, ByteCount);
  case IoReparseTagSymlink:
    return SymbolicLink;  // relative or absolute, it is removed as a link all the same
  default:
    // A tag marked as a name surrogate stands for another named entity, as
    // links do; not knowing where it leads, the walker must not enter it.
    // Every other kind (deduplicated, cloud and similar files) is walked like
    // an ordinary directory.
    return (ReadLittle32(Bytes) & IoReparseTagNameSurrogate) != 0 ? UnreadableLink : NotALink;
  }
}

// Kept out of line: its 17000-byte buffer must be gone before the walker
// descends, never part of a recursive frame.
[[gnu::noinline]] REPARSE_KIND ClassifyReparsePoint(const platform::PLACE &Place) {
  alignas(8) unsigned char Data[ReparseBufferBytes];
  uint32_t Returned = 0;
  switch (platform::ProbeLink(Place, Data, ReparseBufferBytes, Returned)) {
  case platform::LINK_PROBE::ReparseData:
    return DecodeReparseData(Data, Returned < ReparseBufferBytes ? Returned : ReparseBufferBytes);
  case platform::LINK_PROBE::UnreadableReparse:
    return UnreadableLink;
  case platform::LINK_PROBE::PosixSymbolicLink:
    return SymbolicLink;
  case platform::LINK_PROBE::MountRoot:
    return VolumeMountPoint;
  case platform::LINK_PROBE::Ordinary:
    break;
  }
  return NotALink;
}
