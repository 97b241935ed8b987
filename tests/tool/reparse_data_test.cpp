// Reparse data decoding over crafted REPARSE_DATA_BUFFER bytes. Every buffer is
// handed over in an allocation of exactly its length, so the sanitizer builds
// catch any read past the bytes the platform returned.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tool/reparse_point.h"

namespace {

using BYTES = std::vector<unsigned char>;

void Put16(BYTES &Bytes, size_t At, uint16_t Value) {
  Bytes[At] = static_cast<unsigned char>(Value);
  Bytes[At + 1] = static_cast<unsigned char>(Value >> 8);
}

void Put32(BYTES &Bytes, size_t At, uint32_t Value) {
  Put16(Bytes, At, static_cast<uint16_t>(Value));
  Put16(Bytes, At + 2, static_cast<uint16_t>(Value >> 16));
}

void PutName(BYTES &Bytes, size_t At, const std::u16string &Name) {
  for (size_t Index = 0; Index < Name.size(); ++Index)
    Put16(Bytes, At + 2 * Index, static_cast<uint16_t>(Name[Index]));
}

// Tag, lengths and two names in the path buffer; PrintFirst puts the print
// name in front so the substitute name sits at a nonzero offset.
BYTES MakeBuffer(uint32_t Tag, const std::u16string &Substitute, const std::u16string &Print, bool PrintFirst = false) {
  const size_t PathBufferAt = Tag == IoReparseTagSymlink ? 20 : 16;
  const uint16_t SubstituteBytes = static_cast<uint16_t>(2 * Substitute.size());
  const uint16_t PrintBytes = static_cast<uint16_t>(2 * Print.size());
  BYTES Bytes(PathBufferAt + SubstituteBytes + PrintBytes, 0);
  Put32(Bytes, 0, Tag);
  Put16(Bytes, 4, static_cast<uint16_t>(Bytes.size() - 8));
  const uint16_t SubstituteAt = PrintFirst ? PrintBytes : 0;
  const uint16_t PrintAt = PrintFirst ? 0 : SubstituteBytes;
  Put16(Bytes, 8, SubstituteAt);
  Put16(Bytes, 10, SubstituteBytes);
  Put16(Bytes, 12, PrintAt);
  Put16(Bytes, 14, PrintBytes);
  PutName(Bytes, PathBufferAt + SubstituteAt, Substitute);
  PutName(Bytes, PathBufferAt + PrintAt, Print);
  return Bytes;
}

REPARSE_KIND Decode(const BYTES &Bytes, size_t Count) {
  const BYTES Exact(Bytes.begin(), Bytes.begin() + static_cast<std::ptrdiff_t>(Count));
  return DecodeReparseData(Exact.data(), Exact.size());
}

REPARSE_KIND Decode(const BYTES &Bytes) { return Decode(Bytes, Bytes.size()); }

const std::u16string VolumeName = u"\\??\\Volume{1b3b1146-4076-11e1-84aa-806e6f6e6963}\\";

}  // namespace

TEST(ReparseData, MountPointNamingADriveIsAJunction) {
  EXPECT_EQ(Decode(MakeBuffer(IoReparseTagMountPoint, u"\\??\\C:\\Data\\Target", u"C:\\Data\\Target")), Junction);
  EXPECT_EQ(Decode(MakeBuffer(IoReparseTagMountPoint, u"\\??\\D:\\", u"", true)), Junction);
}

TEST(ReparseData, MountPointNamingAVolumeIsAVolumeMountPoint) {
  EXPECT_EQ(Decode(MakeBuffer(IoReparseTagMountPoint, VolumeName, u"")), VolumeMountPoint);
  // Only the substitute name counts, wherever it lies in the path buffer.
  EXPECT_EQ(Decode(MakeBuffer(IoReparseTagMountPoint, VolumeName, u"E:\\Mounted", true)), VolumeMountPoint);
}

TEST(ReparseData, SymbolicLinksOfEveryFormAreSymbolicLinks) {
  BYTES Relative = MakeBuffer(IoReparseTagSymlink, u"..\\sibling", u"..\\sibling");
  Put32(Relative, 16, 1);  // SYMLINK_FLAG_RELATIVE
  EXPECT_EQ(Decode(Relative), SymbolicLink);
  EXPECT_EQ(Decode(MakeBuffer(IoReparseTagSymlink, u"\\??\\C:\\Elsewhere", u"C:\\Elsewhere")), SymbolicLink);
  EXPECT_EQ(Decode(MakeBuffer(IoReparseTagSymlink, VolumeName, u"")), SymbolicLink);
}

TEST(ReparseData, OtherTagsAreOrdinaryDirectories) {
  for (const uint32_t Tag : {0x80000013u /* dedup */, 0x9000001Au /* cloud files */, 0x8000001Bu /* app exec link */,
                             0x00000001u, 0x80000004u /* one off the mount-point tag, no name surrogate */}) {
    BYTES Bytes(24, 0);
    Put32(Bytes, 0, Tag);
    EXPECT_EQ(Decode(Bytes), NotALink) << std::hex << Tag;
  }
}

// Unknown links (name-surrogate tags) could lead anywhere: they are never entered.
TEST(ReparseData, OtherNameSurrogatesAreNeverEntered) {
  for (const uint32_t Tag : {0xA000001Du /* WSL symbolic link */, 0xA0000027u /* container link */,
                             0xA0000004u /* one off the mount-point tag */, 0x20000000u}) {
    BYTES Bytes(24, 0);
    Put32(Bytes, 0, Tag);
    EXPECT_EQ(Decode(Bytes), UnreadableLink) << std::hex << Tag;
  }
}

TEST(ReparseData, TruncatedDataIsNeverEnteredAndNeverOverread) {
  const BYTES Junctioned = MakeBuffer(IoReparseTagMountPoint, u"\\??\\C:\\Target", u"");
  // Too short for a tag, or for the mount-point header.
  for (const size_t Count : {0, 1, 3})
    EXPECT_EQ(Decode(Junctioned, Count), UnreadableLink) << Count;
  for (const size_t Count : {4, 8, 15})
    EXPECT_EQ(Decode(Junctioned, Count), UnreadableLink) << Count;
  // Header complete but the substitute name (and its colon) cut off.
  EXPECT_EQ(Decode(Junctioned, 16 + 6), UnreadableLink);
  EXPECT_EQ(Decode(Junctioned, Junctioned.size() - 1), UnreadableLink);
  EXPECT_EQ(Decode(Junctioned), Junction);
  // A symbolic link's tag alone says what it is.
  EXPECT_EQ(Decode(MakeBuffer(IoReparseTagSymlink, u"x", u"x"), 4), SymbolicLink);
}

TEST(ReparseData, InconsistentLengthsStayInsideTheBuffer) {
  BYTES Bytes = MakeBuffer(IoReparseTagMountPoint, VolumeName, u"");
  Put16(Bytes, 10, 0xFFFE);  // name longer than the data
  EXPECT_EQ(Decode(Bytes), UnreadableLink);
  Bytes = MakeBuffer(IoReparseTagMountPoint, VolumeName, u"");
  Put16(Bytes, 8, 0xFFF0);  // name starting beyond the data
  Put16(Bytes, 10, 2);
  EXPECT_EQ(Decode(Bytes), UnreadableLink);
  // An odd byte length covers only whole characters: the colon in the
  // half-covered character is not seen.
  Bytes = MakeBuffer(IoReparseTagMountPoint, u"AB:", u"");
  Put16(Bytes, 10, 5);
  EXPECT_EQ(Decode(Bytes), VolumeMountPoint);
  Put16(Bytes, 10, 6);
  EXPECT_EQ(Decode(Bytes), Junction);
}
