#include <windows.h>
#include <psapi.h>

#include <cstddef>

// The process's working set in bytes; 0 when unknown.
size_t ResidentBytes() {
  PROCESS_MEMORY_COUNTERS Counters{};
  if (!K32GetProcessMemoryInfo(GetCurrentProcess(), &Counters, sizeof Counters))
    return 0;
  return Counters.WorkingSetSize;
}
