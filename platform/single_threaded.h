// Whether the process has only ever had one thread, read inline on every
// free of the drop-in allocator. Where the C library keeps the fact (it sets
// it to false before a second thread first runs, so a thread that reads true
// is alone), a store can stand in for an atomic read-modify-write; elsewhere
// the answer is always false and callers take the atomic way.
#pragma once

#if __has_include(<sys/single_threaded.h>)
#include <sys/single_threaded.h>
#endif

namespace platform {

inline bool ProcessIsSingleThreaded() {
#if __has_include(<sys/single_threaded.h>)
  return __libc_single_threaded != 0;
#else
  return false;
#endif
}

}  // namespace platform
