// Shared by the heap and front-end tests: the counting test back end and the
// failure check of the lower layers' tests, and a front end built with the
// configured heap's tables over any back end, which records what it is told.
#pragma once

#include <string>
#include <vector>

#include "heap/frontend/fast_heap.h"
#include "tests/heap/pages/test_support.h"

// The configured heap's configuration over a back end of the test's choice.
class TEST_HEAP : public DUZOVEV_FRONT_END {
 public:
  explicit TEST_HEAP(DUZOVEV_BACK_END *BackEnd, bool ThreadSafeFlag = true, bool ReuseFreed = true,
                     bool SingleImage = false, int32_t FreeSpaceLimit = 1048576)
      : DUZOVEV_FRONT_END(FAST_HEAP::FineCaches, FAST_HEAP::CoarseCaches, FAST_HEAP::LookasideSize,
                          FAST_HEAP::LookasideThreshold, FAST_HEAP::HashSize, FreeSpaceLimit, FAST_HEAP::VectorSizes,
                          BackEnd, ReuseFreed, SingleImage, FAST_HEAP::FineStride, FAST_HEAP::CoarseStride,
                          ThreadSafeFlag) {}

  void NotifyFailure(const char *Message) override { Failures.push_back(Message); }

  std::vector<std::string> Failures;
};
