#include "platform/system.h"

#include <unistd.h>

namespace platform {

namespace {
// Both builds carve address space in the same unit, so their heaps lay out alike.
constexpr int32_t AreaGranuleBytes = 65536;
}  // namespace

void ReadSystemInformation(SYSTEM_INFORMATION &Information) {
  const long Processors = sysconf(_SC_NPROCESSORS_ONLN);
  const long PageBytes = sysconf(_SC_PAGESIZE);
  Information.ProcessorCount = Processors > 0 ? static_cast<int32_t>(Processors) : 1;
  Information.PageSize = PageBytes > 0 ? static_cast<int32_t>(PageBytes) : 4096;
  Information.AllocationGranularity = AreaGranuleBytes;
}

}  // namespace platform
