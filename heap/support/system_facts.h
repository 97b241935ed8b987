// The process-wide processor count and page size, read once from the platform.
// Every constructor that relies on them attaches and its destructor detaches;
// the first attachment (or the first after the count fell to 0) reads them.
// They are written only then, normally during start-up, and only read
// afterwards; an attachment returns only once the facts are there.
#pragma once

#include <atomic>
#include <cstdint>

struct SYSTEM_FACTS {
  static std::atomic<int32_t> References;
  static int16_t ProcessorCount;
  static int32_t SystemPageSize;
  // Test seam: how often the platform was asked, to check that it is asked once.
  static std::atomic<int32_t> PlatformReads;

  static void AttachSystemFacts();
  static void DetachSystemFacts();
};

// Attaches for the lifetime of the object that holds it; used as a base or the
// first member so that it is attached before, and detached after, everything else.
struct SYSTEM_FACTS_ATTACHMENT {
  SYSTEM_FACTS_ATTACHMENT() { SYSTEM_FACTS::AttachSystemFacts(); }
  ~SYSTEM_FACTS_ATTACHMENT() { SYSTEM_FACTS::DetachSystemFacts(); }
  SYSTEM_FACTS_ATTACHMENT(const SYSTEM_FACTS_ATTACHMENT &) = delete;
  SYSTEM_FACTS_ATTACHMENT &operator=(const SYSTEM_FACTS_ATTACHMENT &) = delete;
};
