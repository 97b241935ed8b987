#include "malloc/dropin_heap.h"

#include <array>

#include "heap/frontend/process_objects.h"
#include "malloc/size_classes.h"

namespace dropin {

namespace {

constexpr int32_t FineCount = detail::SmallestClassOf(FineLimit) + 1;
constexpr int32_t CoarseCount = ClassCount - FineCount + 2;  // with the top and the large cache

constexpr bool IsParentSize(int32_t Bytes) {
  if (Bytes == DROPIN_HEAP::TopPageBytes)
    return true;
  if (Bytes < 4096 || (Bytes & (Bytes - 1)) != 0)
    return false;
  for (int32_t Class = 0; Class < ClassCount; ++Class)
    if (ClassBytes[Class] == Bytes)
      return true;
  return false;
}

constexpr int32_t MinElements = 128;

// The smallest fitting page with MinElements elements, else the largest
// fitting one; a page fits when it is a parent's size, holds at most 512
// elements and loses at most a sixteenth of itself to its tail.
constexpr int32_t PageFor(int32_t Bytes) {
  int32_t Fitting = DROPIN_HEAP::TopPageBytes;
  for (int32_t Page = 4096; Page <= DROPIN_HEAP::TopPageBytes; Page *= 2) {
    if (!IsParentSize(Page) || Page <= Bytes || Page / Bytes > 512 || (Page % Bytes) * 16 > Page)
      continue;
    Fitting = Page;
    if (Page >= MinElements * Bytes)
      break;
  }
  return Fitting;
}

constexpr CACHE_DESCRIPTION Describe(int32_t Class) {
  const int32_t Page = PageFor(ClassBytes[Class]);
  return CACHE_DESCRIPTION{ClassBytes[Class], 0, Page, Page};
}

// Each table ends with a record of zeros.
constexpr std::array<CACHE_DESCRIPTION, FineCount + 1> FineTable() {
  std::array<CACHE_DESCRIPTION, FineCount + 1> Table{};
  for (int32_t Class = 0; Class < FineCount; ++Class)
    Table[Class] = Describe(Class);
  return Table;
}

constexpr std::array<CACHE_DESCRIPTION, CoarseCount + 1> CoarseTable() {
  std::array<CACHE_DESCRIPTION, CoarseCount + 1> Table{};
  for (int32_t Class = FineCount; Class < ClassCount; ++Class)
    Table[Class - FineCount] = Describe(Class);
  constexpr int32_t Top = DROPIN_HEAP::TopPageBytes;
  Table[CoarseCount - 2] = CACHE_DESCRIPTION{Top, 0, Top, Top};
  Table[CoarseCount - 1] = CACHE_DESCRIPTION{Top, 0, Top, Top};
  return Table;
}

constinit const std::array<CACHE_DESCRIPTION, FineCount + 1> FineCaches = FineTable();
constinit const std::array<CACHE_DESCRIPTION, CoarseCount + 1> CoarseCaches = CoarseTable();
// Descriptor classes of 16 x W elements, W doubling: a page's descriptor is
// never more than twice what its elements need. Pages of at most 64 elements
// (the large classes' and the top pages, 64 KiB and more each) share the
// smallest class: their descriptors are a header with a short vector, a few
// dozen bytes apart, while every class in use makes an area of descriptors
// resident, which a small program felt.
constinit const int32_t VectorSizes[] = {4, 8, 16, 32, 0};

constexpr bool PagesHoldAtMost512() {
  for (int32_t Class = 0; Class < ClassCount; ++Class)
    if (PageFor(ClassBytes[Class]) / ClassBytes[Class] > 512)
      return false;
  return true;
}
static_assert(PagesHoldAtMost512(), "no page holds more elements than the largest descriptor class");

static_assert(ClassBytes[FineCount - 1] == FineLimit && ClassBytes[ClassCount - 1] < DROPIN_HEAP::TopPageBytes);
static_assert(ClassCount + 1 < 0x40, "a class's mark stays below the address map's large marks");

}  // namespace

// The lookup's tables start at their smallest and double as pages are made:
// a small program never pays for tables sized for a large one, and the page
// map, not the hashed lookaside, answers almost every lookup anyway.
constexpr int32_t StartHashSize = 1024;
constexpr int32_t StartLookasideSize = 256;

DROPIN_HEAP::DROPIN_HEAP()
    : DUZOVEV_FRONT_END(FineCaches.data(), CoarseCaches.data(), StartLookasideSize, 0, StartHashSize, FreeSpaceBytes, VectorSizes,
                        &ProcessBackEnd(), true, false, 16, CoarseStep, true) {}

DROPIN_HEAP::~DROPIN_HEAP() = default;

int32_t DROPIN_HEAP::PageBytesOf(int32_t Class) { return PageFor(ClassBytes[Class]); }

}  // namespace dropin
