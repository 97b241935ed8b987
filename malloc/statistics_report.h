// The statistics as text, for the report at exit and malloc_stats: lines
// built in a fixed buffer on the stack and handed to a sink one at a time,
// so that writing a report never allocates through the allocator it
// reports on. Numbers are plain decimal, addresses hexadecimal.
#pragma once

#include <cstddef>
#include <cstdint>

#include "malloc/statistics.h"

namespace dropin {

// Receives one line, its newline included.
using TEXT_SINK = void (*)(const char *Text, size_t Length);

class TEXT_LINE {
 public:
  TEXT_LINE &Text(const char *Words);
  // Right-aligned in Width characters when Width is larger than the number.
  TEXT_LINE &Number(uint64_t Value, int32_t Width = 0);
  TEXT_LINE &Address(const void *Address);
  // Ends the line and hands it to Sink; the line is empty again.
  void Send(TEXT_SINK Sink);

 private:
  static constexpr int32_t Capacity = 240;
  char Buffer[Capacity + 1];
  int32_t Length = 0;
};

// The report of KRAX_MALLOC_REPORT=stats: every class that was used, the
// blocks above the classes, the system's memory and the refused pointers.
void WriteStatistics(TEXT_SINK Sink);
// The report of KRAX_MALLOC_REPORT=leaks: the live blocks per class, from a
// walk over the heap and the spans, with the first few addresses of each.
void WriteLeaks(TEXT_SINK Sink);
// One line of KRAX_MALLOC_REPORT=errors.
void WriteRefusal(TEXT_SINK Sink, REFUSAL_KIND Kind, const void *Address, const char *Operation);
// What malloc_stats prints, in the C library's layout.
void WriteMallocStats(TEXT_SINK Sink);

// The counts as the C library's inquiry calls name them: blocks of the large
// cache and aligned areas stand for its mapped blocks, the rest of the
// memory held from the system for its arena.
struct GLIBC_VIEW {
  uint64_t Arena;            // held from the system, mapped blocks aside
  uint64_t InUse;            // live bytes outside the mapped blocks
  uint64_t Free;             // the arena less what is in use
  uint64_t Mapped;           // live bytes of the mapped blocks
  uint64_t MappedBlocks;
  uint64_t MaxMappedBlocks;  // the most of each kind at once, summed
  uint64_t MaxMappedBytes;
  uint64_t Held;             // taken from the system and not given back
  uint64_t PeakHeld;
};
void ReadGlibcView(GLIBC_VIEW &View);

}  // namespace dropin
