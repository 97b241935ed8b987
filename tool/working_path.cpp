#include "tool/working_path.h"

#include <string>

#include "platform/file_system.h"

namespace {

using PATH_TRAITS = std::char_traits<PATH_CHAR>;

constexpr PATH_CHAR PrefixCharacters[] = {'\\', '\\', '?', '\\'};
constexpr size_t PrefixCharacterCount = 4;

}  // namespace

WORKING_PATH::RESOLUTION WORKING_PATH::Resolve(const PATH_CHAR *Argument) {
  Used = platform::StartWorkingPath(Characters, WorkingPathCapacity);
  const size_t Room = WorkingPathCapacity - Used;
  const size_t Resolved = platform::ResolveFullPath(Argument, Characters + Used, Room);
  if (Resolved == 0 || Resolved >= Room) {
    // Whatever the resolution left behind is not a path to act on.
    Characters[Used] = 0;
    return Resolved == 0 ? RESOLUTION::Failed : RESOLUTION::TooLong;
  }
  Used += Resolved;
  Characters[Used] = 0;
  return RESOLUTION::Resolved;
}

bool WORKING_PATH::Append(const PATH_CHAR *Piece, size_t PieceLength) {
  if (PieceLength >= WorkingPathCapacity - Used)
    return false;
  PATH_TRAITS::copy(Characters + Used, Piece, PieceLength);
  Used += PieceLength;
  Characters[Used] = 0;
  return true;
}

bool WORKING_PATH::AppendEntry(const PATH_CHAR *Name) {
  const size_t NameLength = PATH_TRAITS::length(Name);
  // Separator, name and terminator must all fit before anything is written.
  if (!Fits(NameLength))
    return false;
  Characters[Used++] = platform::PathSeparator;
  return Append(Name, NameLength);
}

bool WORKING_PATH::AppendPattern() {
  return Append(platform::EnumerationPattern, platform::EnumerationPatternLength);
}

void WORKING_PATH::CutBack(size_t OldLength) {
  Used = OldLength;
  Characters[Used] = 0;
}

bool HasLongPathPrefix(const PATH_CHAR *Path) {
  for (size_t Index = 0; Index < PrefixCharacterCount; ++Index)
    if (Path[Index] != PrefixCharacters[Index])
      return false;  // also stops at the terminator of a shorter path
  return true;
}

const PATH_CHAR *DisplayForm(const PATH_CHAR *Path) {
  return HasLongPathPrefix(Path) ? Path + PrefixCharacterCount : Path;
}
