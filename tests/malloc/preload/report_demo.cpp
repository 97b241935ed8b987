// A program for the report tests, run with the library preloaded: it keeps
// three blocks, frees one block twice, writes two lines to standard output
// and ends as its argument says: "return" from main, "thread" (exit called
// from another thread) or "_exit".
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <thread>

// Called through pointers: the compiler must neither judge the double free
// nor drop blocks that are never used (clang removes such allocations).
void *(*volatile Allocate)(size_t) = malloc;
void (*volatile Release)(void *) = free;

int main(int argc, char **argv) {
  const char *End = argc > 1 ? argv[1] : "return";
  void *Kept[3];
  for (void *&Block : Kept)
    Block = Allocate(100);
  void *Twice = Allocate(48);
  Release(Twice);
  Release(Twice);
  printf("kept %d blocks\ndone\n", Kept[2] != nullptr ? 3 : 0);
  fflush(stdout);
  if (strcmp(End, "_exit") == 0)
    _exit(0);
  if (strcmp(End, "thread") == 0)
    std::thread([] { exit(0); }).join();
  return 0;
}
