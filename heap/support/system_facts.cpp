#include "heap/support/system_facts.h"

#include "heap/support/lock_annotations.h"
#include "platform/system.h"
#include "platform/threads.h"

// Static data, no constructor runs: zero until the first attachment.
constinit std::atomic<int32_t> SYSTEM_FACTS::References{0};
constinit int16_t SYSTEM_FACTS::ProcessorCount = 0;
constinit int32_t SYSTEM_FACTS::SystemPageSize = 0;
constinit std::atomic<int32_t> SYSTEM_FACTS::PlatformReads{0};

namespace {

// Held while an attachment counts itself and, as the first, reads the facts:
// a second attachment racing with the first must not return before the facts
// are there to read. A spin lock, told to the thread checker like the others;
// no other lock is taken while it is held.
constinit std::atomic_flag AttachmentBusy = ATOMIC_FLAG_INIT;

}  // namespace

void SYSTEM_FACTS::AttachSystemFacts() {
  while (AttachmentBusy.test_and_set(std::memory_order_acquire))
    platform::PauseHint();
  AnnotateLockTaken(&AttachmentBusy, ExclusiveClaim);
  if (References.fetch_add(1) == 0) {
    PlatformReads.fetch_add(1, std::memory_order_relaxed);
    platform::SYSTEM_INFORMATION Information;
    platform::ReadSystemInformation(Information);
    ProcessorCount = static_cast<int16_t>(Information.ProcessorCount & 0xFFFF);
    SystemPageSize = Information.PageSize;
  }
  const LOCK_RELEASE_ANNOTATION Releasing(&AttachmentBusy, ExclusiveClaim);
  AttachmentBusy.clear(std::memory_order_release);
}

void SYSTEM_FACTS::DetachSystemFacts() { References.fetch_sub(1); }
