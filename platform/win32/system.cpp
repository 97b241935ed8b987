#include "platform/system.h"

#include <windows.h>

namespace platform {

void ReadSystemInformation(SYSTEM_INFORMATION &Information) {
  SYSTEM_INFO Info;
  GetSystemInfo(&Info);
  Information.ProcessorCount = static_cast<int32_t>(Info.dwNumberOfProcessors);
  Information.PageSize = static_cast<int32_t>(Info.dwPageSize);
  Information.AllocationGranularity = static_cast<int32_t>(Info.dwAllocationGranularity);
}

}  // namespace platform
