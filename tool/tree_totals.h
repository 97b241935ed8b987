// The run's tally: what the walker deleted, summed over every argument and
// printed once at the end. Counters only grow.
#pragma once

#include <cstdint>

struct TREE_TOTALS {
  uint64_t Bytes = 0;        // bytes of the file entries deleted
  uint64_t Files = 0;        // file entries deleted
  uint64_t Directories = 0;  // ordinary subdirectories walked below the arguments
  uint64_t Junctions = 0;    // junctions removed as links
};
