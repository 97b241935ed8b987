#include <windows.h>

#include "tests/heap/pages/test_support.h"

bool AreaStillMapped(const void *Start, size_t Length) {
  const char *Cursor = static_cast<const char *>(Start);
  const char *End = Cursor + Length;
  while (Cursor < End) {
    MEMORY_BASIC_INFORMATION Information;
    if (VirtualQuery(Cursor, &Information, sizeof Information) == 0)
      return false;
    if (Information.State != MEM_FREE)
      return true;
    Cursor = static_cast<const char *>(Information.BaseAddress) + Information.RegionSize;
  }
  return false;
}
