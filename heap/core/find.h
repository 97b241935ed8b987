// FIND maps an address back to the page that holds it: a chained hash table of
// page descriptors keyed by (Address, ParentBucket), with a direct-mapped
// lookaside in front that maps an address granule straight to the innermost
// page holding it.
//
// Invariants: HashSize and LookasideSize are powers of two (at least 1024 and
// 128); both arrays share one block from the back end, chains first. A page is
// on the chain of the hash of its Address, linked through LookupLinkA or
// LookupLinkB as UseLinkB selects, so one page can sit in two tables. A
// lookaside key is an address with its GranuleMask bits cleared, never the
// empty marker (all ones). Entries are kept only once the lookaside is on
// (LookasideLookups has reached LookasideThreshold); a stale entry is caught
// by the page's version. The table doubles past three quarters full until a
// growth fails, and never shrinks.
//
// A large allocation is one top-level page filed under its first address:
// Contains and DescribeAddress, asked from the top cache, also find the
// addresses further inside it; releases never need to.
//
// Behind the lookaside's hash sits a page map: the same entries (the innermost
// page of each granule that holds an element's first byte), but indexed by the
// address itself, so that a lookup costs one read of a compact table whose
// neighbouring entries are neighbouring granules. It is probed first once the
// lookaside is on; the hashed lookaside answers what the map cannot hold (an
// address beyond its reach, a leaf the back end refused). Map entries are
// filed and emptied with the page and never outlive it.
//
// Lookups hold ShareLock shared, updates exclusively; ResizeLock lets one
// thread grow the table. The share lock comes after every cache lock and
// before the page store's lock.
#pragma once

#include <atomic>
#include <cstdint>

#include "heap/buckets/page.h"
#include "heap/support/chain.h"
#include "heap/support/hybrid_lock.h"
#include "heap/support/share_lock.h"
#include "heap/support/system_facts.h"
#include "heap/support/thread_safe.h"

class DUZOVEV_BACK_END;

struct LOOKASIDE_ENTRY {
  uint64_t Key;
  PAGE *Page;
};

// A three-level table from an address's granule to a page: a root of middle
// tables, each a table of leaves, each leaf covering 2^LeafBits granules. Every
// level is an area from the back end, made and cleared on first need, and stays
// until the map goes. Changes are made under its FIND's exclusive claim; reads
// under a shared claim are answers, reads without one are hints (every access
// is atomic, and no level is given back while the map is in use).
class PAGE_MAP {
 public:
  // User addresses below 2^47, the reach of both platforms.
  static constexpr int32_t AddressBits = 47;
  static constexpr int32_t LeafBits = 15;
  static constexpr int32_t MiddleBits = 10;

  // Its owner calls Release before it goes: giving an area back can fail.
  explicit PAGE_MAP(DUZOVEV_BACK_END *NewBackEnd) : BackEnd(NewBackEnd) {}
  PAGE_MAP(const PAGE_MAP &) = delete;
  PAGE_MAP &operator=(const PAGE_MAP &) = delete;

  // Granules of 2^NewShift bytes from now on. A map that already holds entries
  // cannot be re-indexed while hints are read, so it is switched off instead.
  void SetGranule(int32_t NewShift);
  // Gives every level back; only when nobody reads the map any more.
  void Release();
  // The entry of Address's granule, null when there is none.
  PAGE *Read(uint64_t Address) const {
    const uint64_t Granule = Address >> Load(Shift);
    const uint64_t Top = Granule >> (LeafBits + MiddleBits);
    PAGE ****Levels = Load(Root);
    if (Top >= Load(LiveEntries) || Levels == nullptr)
      return nullptr;
    PAGE ***Middle = Load(Levels[Top]);
    PAGE **Leaf = Middle != nullptr ? Load(Middle[(Granule >> LeafBits) & MiddleMask]) : nullptr;
    return Leaf != nullptr ? Load(Leaf[Granule & LeafMask]) : nullptr;
  }
  // Files Page for Address's granule; false when the map cannot hold it.
  bool Write(uint64_t Address, PAGE *Page);
  // Empties the entry of Address's granule when it names Page.
  void Erase(uint64_t Address, const PAGE *Page);
  // How many areas of the back end the map holds.
  int32_t AreaCount() const { return Areas; }

 private:
  static constexpr uint64_t LeafMask = (uint64_t{1} << LeafBits) - 1;
  static constexpr uint64_t MiddleMask = (uint64_t{1} << MiddleBits) - 1;

  template <typename T>
  static T Load(const T &Field) {
    return std::atomic_ref<T>(const_cast<T &>(Field)).load(std::memory_order_acquire);
  }
  template <typename T>
  static void Store(T &Field, T Value) {
    std::atomic_ref<T>(Field).store(Value, std::memory_order_release);
  }
  // A level's slot, made (cleared, then published) when Make allows.
  template <typename T>
  T *LevelIn(T *&Slot, uint64_t Entries, bool Make);
  PAGE **Entry(uint64_t Address, bool Make);
  void DeleteLevel(void *Level, uint64_t Entries);

  PAGE ****Root = nullptr;
  uint64_t RootEntries = 0;
  uint64_t LiveEntries = 0;  // RootEntries, or 0 while the map is off
  int32_t Shift = 63;
  int32_t Areas = 0;
  DUZOVEV_BACK_END *BackEnd;
};

struct FIND : SYSTEM_FACTS_ATTACHMENT {
  int32_t HashSize = 0;
  int32_t HashMask = 0;
  int32_t HashShift = 0;
  bool UseLinkB = false;
  bool Resizable = false;
  int32_t LookasideSize = 0;
  uint64_t TopCacheMask = NoHeapMask;
  uint64_t GranuleMask = NoHeapMask;
  // Counted under a shared claim without atomic read-modify-write: a lost
  // increment only delays the switch-on.
  std::atomic<int32_t> LookasideLookups{0};
  // The largest top-level page ever filed: how far below an address the page
  // of a large allocation that holds it can start.
  int32_t LargestTopPage = 0;
  int32_t LookasideMask = 0;
  int32_t LookasideShift = 0;
  int32_t LookasideThreshold = 0;
  CHAIN *HashTable = nullptr;
  LOOKASIDE_ENTRY *Lookaside = nullptr;
  DUZOVEV_BACK_END *BackEnd;
  THREAD_SAFE *ThreadSafe;
  SHARELOCK ShareLock;
  HYBRID_LOCK ResizeLock;
  int32_t PageCount = 0;
  PAGE_MAP Map;

  static constexpr uint64_t NoHeapMask = 0xFFFFFFFFu;
  static constexpr uint64_t HashMultiplier = 0xB0B38EDBu;

  FIND(int32_t NewHashSize, int32_t NewLookasideSize, int32_t NewLookasideThreshold, bool NewUseLinkB,
       bool NewResizable, DUZOVEV_BACK_END *NewBackEnd, THREAD_SAFE *NewThreadSafe);
  ~FIND() noexcept(false);

  void RegisterHeap(uint32_t TopMask, uint32_t SmallestMask);
  void InsertPage(PAGE *Page);
  void RemovePage(PAGE *Page);
  PAGE *LocatePage(uint64_t Key, CACHE *Parent);
  bool Contains(void *Address, CACHE *Cache);
  // OwnPages: every page this table names is the caller's heap's, whose
  // descriptors stay mapped while it lives (not so in the table heaps share).
  bool Delete(void *Address, CACHE *Cache, bool OwnPages = false);
  bool DescribeAddress(void *Address, ELEMENT_INFO *Record, CACHE *Cache, int32_t &Size);
  bool WalkHeap(bool &InUse, void *&Address, CACHE *Cache, int32_t &Size);
  void UpdateLookaside(uint64_t Address, PAGE *Page, int32_t Version);
  void ResizeHashTable();

  static uint32_t HashIndex(uint64_t Key, int32_t Shift, int32_t Mask) {
    return static_cast<uint32_t>(((Key * HashMultiplier) >> Shift) & static_cast<uint64_t>(static_cast<uint32_t>(Mask)));
  }
  bool LookasideOn() const { return LookasideLookups.load(std::memory_order_relaxed) >= LookasideThreshold; }

  // Claims of ShareLock, skipped without thread safety or on the engaged thread.
  void ClaimShared();
  void ReleaseShared();
  void ClaimExclusive();
  void ReleaseExclusive();

 private:
  bool Locking() const;
  bool TryClaimResizeLock();
  uint64_t LookasideStep(const PAGE *Page) const;
  bool IsLookasideKeyOf(uint64_t Key, const PAGE *Page) const;
  bool HoldsChildPage(PAGE *Page, uint64_t Address);
  CHAIN_LINK &LinkOf(PAGE *Page) const { return UseLinkB ? Page->LookupLinkB : Page->LookupLinkA; }
  PAGE *PageOfLink(CHAIN_LINK *Link) const {
    return UseLinkB ? PAGE::FromLookupLinkB(Link) : PAGE::FromLookupLinkA(Link);
  }
  PAGE *ProbeLookaside(uint64_t Address);
  PAGE *PageFrom(uint64_t Address, CACHE *Cache, bool Inside);
  PAGE *SearchFrom(uint64_t Address, CACHE *Cache, ELEMENT_INFO *Record, bool Inside = false);
  PAGE *FindEnclosingTopPage(uint64_t Address);
  template <typename VISIT>
  void ForEachLookasideKey(PAGE *Page, VISIT Visit);
  static void EmptyArrays(CHAIN *Chains, int32_t ChainCount, LOOKASIDE_ENTRY *Entries, int32_t EntryCount);
  void MovePages(CHAIN *OldTable, int32_t OldHashSize);
};

// A scoped shared claim of a table, for callers that search it from outside.
class FIND_SHARED_CLAIM {
 public:
  // Unclaimed at first when ClaimNow is false; the claim may be taken and
  // given up again, and whatever is held goes back on every way out.
  explicit FIND_SHARED_CLAIM(FIND &NewFind, bool ClaimNow = true) : Find(NewFind) {
    if (ClaimNow)
      Claim();
  }
  ~FIND_SHARED_CLAIM() { Release(); }
  FIND_SHARED_CLAIM(const FIND_SHARED_CLAIM &) = delete;
  FIND_SHARED_CLAIM &operator=(const FIND_SHARED_CLAIM &) = delete;

  void Claim() {
    if (!Held) {
      Find.ClaimShared();
      Held = true;
    }
  }
  void Release() {
    if (Held) {
      Held = false;
      Find.ReleaseShared();
    }
  }

 private:
  FIND &Find;
  bool Held = false;
};
