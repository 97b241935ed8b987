// Facts about the machine that the allocator sizes itself by. Reading them
// never allocates.
#pragma once

#include <cstdint>

namespace platform {

struct SYSTEM_INFORMATION {
  int32_t ProcessorCount;         // processors online
  int32_t PageSize;               // bytes per virtual-memory page
  int32_t AllocationGranularity;  // the unit in which address space is reserved
};

// One query of the operating system.
void ReadSystemInformation(SYSTEM_INFORMATION &Information);

}  // namespace platform
