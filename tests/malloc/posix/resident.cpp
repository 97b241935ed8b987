#include <cstdio>
#include <cstddef>

// The process's resident memory in bytes, from /proc; 0 when unknown, as
// under the thread sanitizer, whose shadow of freed memory stays resident.
size_t ResidentBytes() {
#if defined(__SANITIZE_THREAD__)
  return 0;
#endif
  long Pages = 0, Resident = 0;
  FILE *Statm = std::fopen("/proc/self/statm", "r");
  if (Statm == nullptr)
    return 0;
  if (std::fscanf(Statm, "%ld %ld", &Pages, &Resident) != 2)
    Resident = 0;
  std::fclose(Statm);
  return static_cast<size_t>(Resident) * 4096;
}
