#include "heap/support/system_facts.h"

#include "platform/system.h"

// Static data, no constructor runs: zero until the first attachment.
constinit std::atomic<int32_t> SYSTEM_FACTS::References{0};
constinit int16_t SYSTEM_FACTS::ProcessorCount = 0;
constinit int32_t SYSTEM_FACTS::SystemPageSize = 0;
constinit std::atomic<int32_t> SYSTEM_FACTS::PlatformReads{0};

void SYSTEM_FACTS::AttachSystemFacts() {
  if (References.fetch_add(1) + 1 != 1)
    return;
  PlatformReads.fetch_add(1, std::memory_order_relaxed);
  platform::SYSTEM_INFORMATION Information;
  platform::ReadSystemInformation(Information);
  ProcessorCount = static_cast<int16_t>(Information.ProcessorCount & 0xFFFF);
  SystemPageSize = Information.PageSize;
}

void SYSTEM_FACTS::DetachSystemFacts() { References.fetch_sub(1); }
