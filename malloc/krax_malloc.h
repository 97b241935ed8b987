/* The allocator's prefixed C interface, on every platform: the malloc family
 * served by the process heap (the same allocator that the preloadable library
 * puts under the standard names on Linux), the heap's own extras, and private
 * heaps that can be wiped at once.
 *
 *   void *Block = krax_malloc(100);        aligned to 16, NULL and ENOMEM when out of memory
 *   krax_free(Block);                      a double, interior or foreign free is refused and counted
 *
 * Pointers of krax_malloc and of a private heap are not interchangeable: each
 * is released where it came from. */
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

void *krax_malloc(size_t size);
void krax_free(void *pointer);
void *krax_calloc(size_t count, size_t size);
/* NULL allocates, size 0 frees and returns NULL; the same size class stays in place. */
void *krax_realloc(void *pointer, size_t size);
/* 0 for NULL and for a pointer that is not a live allocation. */
size_t krax_usable_size(const void *pointer);
/* A non-power-of-two alignment is rounded up to the next power of two. */
void *krax_memalign(size_t alignment, size_t size);

/* 1 when pointer is the first byte of a live allocation (or NULL), else 0. */
int krax_check(const void *pointer);
/* One step of a walk over the process heap: *address NULL starts it; each
 * call moves *address to the next element and gives its size and whether it
 * is allocated. 0 when there is no further element. */
int krax_walk(void **address, size_t *size, int *in_use);
/* Gives this thread's cached memory and the memory kept between threads back
 * to the heap, then returns to the system all but keep_bytes of the heap's
 * free top-level pages. 1 when every cache gave back all it held. */
int krax_trim(size_t keep_bytes);
/* How many pointers free, realloc and krax_usable_size have refused. */
uint64_t krax_refused(void);

/* What the allocator has done since the process started (README: "Reading the
 * report"). Live, allocated and freed are exact; a class's peak is exact for a
 * process with one thread and an estimate with several. */
#define KRAX_STATS_MAX_CLASSES 64
struct krax_class_stats {
  uint64_t size;      /* bytes of each block of the class */
  uint64_t live;      /* blocks allocated and not freed */
  uint64_t peak;      /* the most blocks live at once */
  uint64_t allocated; /* blocks handed out */
  uint64_t freed;     /* blocks freed */
};
/* Blocks above the classes, of one kind. */
struct krax_block_stats {
  uint64_t live, live_bytes;
  uint64_t peak, peak_bytes; /* the most blocks and the most bytes live at once */
  uint64_t allocated, freed;
};
typedef struct krax_statistics {
  uint32_t class_count;
  struct krax_class_stats classes[KRAX_STATS_MAX_CLASSES];
  struct krax_block_stats spans;   /* above the classes up to 1 MiB: pages of 4 MiB chunks */
  struct krax_block_stats large;   /* above 1 MiB: the heap's large blocks */
  struct krax_block_stats aligned; /* alignments above 64 KiB: areas straight from the system */
  uint64_t bootstrap_blocks, bootstrap_bytes; /* served while the heap was being built; never freed */
  uint64_t live_bytes;      /* bytes of every live block, of every kind */
  uint64_t system_taken;    /* bytes of address space taken from the system */
  uint64_t system_returned; /* bytes given back */
  uint64_t system_peak;     /* the most bytes held at once */
  /* Pointers refused by free, realloc and krax_usable_size: the start of a
   * block that is free already, a pointer into a block, anything else. */
  uint64_t refused_double, refused_interior, refused_foreign;
} krax_statistics;
void krax_stats(krax_statistics *statistics);

/* A private heap: its own size classes and locks, released all at once. */
typedef struct krax_heap krax_heap;
krax_heap *krax_heap_create(void);
void krax_heap_destroy(krax_heap *heap);
void *krax_heap_alloc(krax_heap *heap, size_t size);
/* 1 when pointer was a live allocation of this heap and is released. */
int krax_heap_free(krax_heap *heap, void *pointer);
/* Forgets every allocation of the heap; the heap stays usable. */
void krax_heap_wipe(krax_heap *heap);

#ifdef __cplusplus
}
#endif
