#include <sys/mman.h>
#include <unistd.h>

#include "tests/heap/pages/test_support.h"

bool AreaStillMapped(const void *Start, size_t Length) {
  const size_t PageBytes = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  for (size_t Offset = 0; Offset < Length; Offset += PageBytes) {
    unsigned char Resident = 0;
    // mincore fails with ENOMEM exactly for pages that are not mapped.
    if (mincore(const_cast<char *>(static_cast<const char *>(Start) + Offset), PageBytes, &Resident) == 0)
      return true;
  }
  return false;
}
