// The POSIX port's own locks that the allocator can reach while another
// thread forks: the pool of futex semaphores and the record of mapped areas.
// Each is held across a fork, so that the child never inherits one taken by a
// thread that does not exist there. Internal to platform/posix.
#pragma once

namespace platform {

void HoldSemaphorePool();
void FreeSemaphorePool();
void HoldAreaRecords();
void FreeAreaRecords();

}  // namespace platform
