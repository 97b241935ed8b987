// The one working path of a run: a fixed buffer of 8192 path characters that
// starts with the platform's long-path prefix and is extended in place while
// the walker descends. Invariants: it is always zero-terminated, it is never
// written past its last character, and an append that would not fit changes
// nothing, so nothing is ever done through a path that was cut.
#pragma once

#include <cstddef>

#include "platform/entry.h"

constexpr size_t WorkingPathCapacity = 8192;

struct WORKING_PATH {
  enum class RESOLUTION { Resolved, Failed, TooLong };

  PATH_CHAR Characters[WorkingPathCapacity];
  size_t Used = 0;  // characters before the terminator

  // Prefix, then the argument's full path behind it.
  RESOLUTION Resolve(const PATH_CHAR *Argument);

  // Appends a separator and Name; false, with nothing changed, when it does not fit.
  bool AppendEntry(const PATH_CHAR *Name);
  // Whether a separator and a name of NameLength characters would fit.
  bool Fits(size_t NameLength) const { return NameLength + 1 < WorkingPathCapacity - Used; }
  // Appends the platform's enumeration pattern; false when it does not fit.
  bool AppendPattern();
  void CutBack(size_t OldLength);

  const PATH_CHAR *Text() const { return Characters; }
  size_t Length() const { return Used; }

private:
  bool Append(const PATH_CHAR *Piece, size_t PieceLength);
};

// True when Path starts with the four characters "\\?\".
bool HasLongPathPrefix(const PATH_CHAR *Path);
// Path without its long-path prefix, as messages about directories show it.
const PATH_CHAR *DisplayForm(const PATH_CHAR *Path);
