#include <cstdio>
#include <cstddef>

// The process's resident memory in bytes, from /proc; 0 when unknown.
size_t ResidentBytes() {
  long Pages = 0, Resident = 0;
  FILE *Statm = std::fopen("/proc/self/statm", "r");
  if (Statm == nullptr)
    return 0;
  if (std::fscanf(Statm, "%ld %ld", &Pages, &Resident) != 2)
    Resident = 0;
  std::fclose(Statm);
  return static_cast<size_t>(Resident) * 4096;
}
