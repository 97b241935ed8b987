// PAGE: the descriptor of one page, a block that a bucket carves into equal
// elements, with two bits per element: 00 free, 10 handed to a caller, 11 a
// page of a child bucket, 01 held by the owning cache (waiting on its ready
// stack or in its release queue). The high bit of a pair is thus "handed out
// as memory", and only a caller's element may be released by a caller: an
// element its cache holds is free to every outside view, yet no page search
// hands it out. Element i lives in word i / 16 at shift 30 - 2 x (i mod 16),
// so element 0 of a word is its two top bits.
//
// Invariants: Allocated + Available = the bucket's ElementsPerPage; the page is
// on its bucket's list exactly when Available > 0; pairs beyond the last
// element stay 00; Version is even while the descriptor is live and odd once
// destroyed, and never repeats for one descriptor, so a stamp read from a live
// page never matches a later use of the same descriptor.
//
// Descriptors live in the page store's areas, never inside their pages. The
// bit vector is the last field; its length is the owning bucket's WordsPerPage.
// A page has no lock: element operations run under the owning cache's lock,
// construction, destruction and ResetPage under the page store's.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "heap/support/chain.h"

struct CACHE;
struct FIND;
struct PAGE;

// Bit-vector words are written under the owning cache's lock, but lookups read
// them under the address lookup's share lock while another element of the same
// word changes. Every write, and every read that may run outside the owner's
// lock, is therefore a relaxed atomic access: plain moves on the machine, and
// no racing word in the language. The lock holder reads its words plainly.
inline uint32_t LoadWord(const uint32_t &Word) {
  return std::atomic_ref<uint32_t>(const_cast<uint32_t &>(Word)).load(std::memory_order_relaxed);
}
inline void StoreWord(uint32_t &Word, uint32_t Value) {
  std::atomic_ref<uint32_t>(Word).store(Value, std::memory_order_relaxed);
}

// The pointer that stands for "no bucket": all ones, not null.
inline CACHE *NoBucket() { return reinterpret_cast<CACHE *>(~static_cast<uintptr_t>(0)); }

// The bit pair of an element.
enum class ELEMENT_STATE : uint32_t {
  Free = 0,       // 00
  Held = 1,       // 01: waiting in its cache, to be handed out or given back
  InUse = 2,      // 10: a caller's
  ChildPage = 3,  // 11: lent to a child bucket as a whole page
};

// Locates one element; filled by FindElement, consumed by Delete and WalkNext.
struct ELEMENT_INFO {
  uint64_t Address = 0;  // 0 in a walk record: the walk has not started
  CACHE *Bucket = nullptr;
  bool OnBoundary = false;
  PAGE *Page = nullptr;
  uint32_t InUseMask = 0;
  uint32_t ChildMask = 0;
  uint32_t *Word = nullptr;
  int32_t Index = 0;
  int32_t WordIndex = 0;
  int32_t Shift = 0;
};

// A listed page's place in its bucket's ordered index (see BUCKET): the roots
// of the subtrees of lower and of higher addresses.
struct ORDER_LINK {
  PAGE *Lower = nullptr;
  PAGE *Higher = nullptr;
};

struct PAGE {
  CHAIN_LINK BucketLink;
  CHAIN_LINK StoreLink;
  CHAIN_LINK LookupLinkA;
  CHAIN_LINK LookupLinkB;
  uint64_t Address;
  int32_t Size;  // -1 for a page carved from the parent bucket
  // Read without the owner's lock by holders of stale references (queued
  // releases, lookaside entries) to see whether the page was rebuilt. Only
  // through atomic_ref: a slot carved again after its area was discarded is
  // constructed afresh, and an atomic member's construction would be a plain
  // write racing with such a holder's read.
  int32_t Version;
  int16_t Allocated;
  int16_t Available;
  int16_t FirstFreeWord;
  CACHE *Bucket;
  CACHE *ParentBucket;
  ORDER_LINK BucketOrder;
  uint32_t BitVector[];

  static constexpr uint32_t FullWordMask = 0xAAAAAAAAu;

  PAGE(uint64_t PageAddress, CACHE *Owner, int32_t PageSize, CACHE *Parent, int32_t PageVersion);
  // Starts a new incarnation of a descriptor that already exists.
  void Build(uint64_t PageAddress, CACHE *Owner, int32_t PageSize, CACHE *Parent, int32_t PageVersion);
  // Ends this incarnation: the version turns odd and every link is reset.
  void Destroy();

  // The lowest free element, put into State (InUse, ChildPage or Held).
  void *New(ELEMENT_STATE State);
  bool MultipleNew(int32_t &Count, void **Array, int32_t Requested, ELEMENT_STATE State = ELEMENT_STATE::InUse);
  PAGE *FindElement(uint64_t ElementAddress, ELEMENT_INFO *Record, FIND *Find, bool Descend);
  // Frees the element of Record when it is the first byte of an element in
  // state Expected; false, with nothing changed, otherwise.
  bool Delete(ELEMENT_INFO &Record, ELEMENT_STATE Expected = ELEMENT_STATE::InUse);
  // Moves element Index (0 <= Index < the bucket's ElementsPerPage) from
  // state From to To; false, with nothing changed, when it is not in state
  // From. Inline: every allocation and release through a cache does it.
  bool ChangePair(int32_t Index, ELEMENT_STATE From, ELEMENT_STATE To) {
    uint32_t &Word = BitVector[static_cast<uint32_t>(Index) / 16];
    const uint32_t Shift = 30 - 2 * (static_cast<uint32_t>(Index) % 16);
    const uint32_t Bits = Word;
    if ((Bits & 3u << Shift) != static_cast<uint32_t>(From) << Shift)
      return false;
    StoreWord(Word, (Bits & ~(3u << Shift)) | static_cast<uint32_t>(To) << Shift);
    return true;
  }
  // Offsets are taken over the low 32 bits, pages being smaller than 2 GB.
  int32_t OffsetOf(uint64_t ElementAddress) const {
    return static_cast<int32_t>(static_cast<uint32_t>(ElementAddress) - static_cast<uint32_t>(Address));
  }
  void ResetPage();
  static bool WalkNext(ELEMENT_INFO &Record, FIND *Find);
  int32_t ActualSize() const;

  int32_t CurrentVersion() const {
    return std::atomic_ref<int32_t>(const_cast<int32_t &>(Version)).load(std::memory_order_relaxed);
  }
  // The owner, read by one who holds no lock its writer holds (a release
  // through the map, which then confirms under the owner's lock); the owner's
  // lock holder reads Bucket plainly.
  CACHE *CurrentBucket() const {
    return std::atomic_ref<CACHE *>(const_cast<CACHE *&>(Bucket)).load(std::memory_order_relaxed);
  }
  // The state of the element a filled record names, read as it stands.
  static ELEMENT_STATE StateOf(const ELEMENT_INFO &Record) {
    return static_cast<ELEMENT_STATE>((LoadWord(*Record.Word) >> Record.Shift) & 3u);
  }

  static PAGE *FromBucketLink(CHAIN_LINK *Link) { return FromLink(Link, offsetof(PAGE, BucketLink)); }
  static PAGE *FromStoreLink(CHAIN_LINK *Link) { return FromLink(Link, offsetof(PAGE, StoreLink)); }
  static PAGE *FromLookupLinkA(CHAIN_LINK *Link) { return FromLink(Link, offsetof(PAGE, LookupLinkA)); }
  static PAGE *FromLookupLinkB(CHAIN_LINK *Link) { return FromLink(Link, offsetof(PAGE, LookupLinkB)); }

 private:
  static PAGE *FromLink(CHAIN_LINK *Link, size_t Offset) {
    return Link == nullptr ? nullptr : reinterpret_cast<PAGE *>(reinterpret_cast<char *>(Link) - Offset);
  }
  // Fills Record for element Index; false when the offset lies in no element.
  bool FillRecord(uint64_t ElementAddress, ELEMENT_INFO &Record);
  bool NextElementOf(ELEMENT_INFO &Record, int32_t FirstIndex);
};
