// Builds heaps with nothing but the library and its public header, and
// exits with 0 only when they work.
#include <heap/frontend/krax_heap.h>

#include <cstdio>
#include <cstring>

int main() {
  FAST_HEAP Heap(1 << 20, true, false, true);
  FAST_HEAP Shared(1 << 20, true, true, true);
  FAST_HEAP Other(1 << 20, true, true, true);
  if (!Heap.Usable() || !Shared.Usable() || !Other.Usable())
    return 1;
  int32_t Actual = 0;
  char *Text = static_cast<char *>(Heap.New(100, &Actual));
  if (Text == nullptr || Actual != 112)
    return 2;
  std::strcpy(Text, "heap");
  char *Moved = static_cast<char *>(Heap.Resize(Text, 5000, 1));
  if (Moved == nullptr || std::strcmp(Moved, "heap") != 0 || !Heap.CheckAddress(Moved) || Heap.CheckAddress(Text))
    return 3;
  // Heaps that share the process-wide lookup release each other's allocations.
  void *Crossing = Shared.New(64);
  if (!Other.Delete(Crossing) || !Heap.Delete(Moved))
    return 4;
  std::puts("consumer ok");
  return 0;
}
