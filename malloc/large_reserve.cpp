#include "malloc/large_reserve.h"

#include <new>

#include "heap/support/hybrid_lock.h"

namespace dropin {

namespace {

constexpr int32_t MaxBlocks = 256;

struct KEPT_BLOCK {
  void *Block;
  uint64_t Pages;
};

struct RESERVE {
  HYBRID_LOCK Lock{4096, 256};
  int32_t Count = 0;
  uint64_t TotalPages = 0;
  KEPT_BLOCK Blocks[MaxBlocks];
};

alignas(RESERVE) constinit unsigned char ReserveStorage[sizeof(RESERVE)] = {};
constinit RESERVE *Reserve = nullptr;

}  // namespace

void LARGE_RESERVE::Build() { Reserve = new (ReserveStorage) RESERVE{}; }

void *LARGE_RESERVE::Take(uint64_t Pages, uint64_t &Found) {
  RESERVE &Kept = *Reserve;
  Kept.Lock.Acquire();
  int32_t Best = -1;
  for (int32_t Index = 0; Index < Kept.Count; ++Index) {
    const uint64_t Size = Kept.Blocks[Index].Pages;
    if (Size >= Pages && Size - Pages <= Size / 4 && (Best < 0 || Size < Kept.Blocks[Best].Pages))
      Best = Index;
  }
  void *Block = nullptr;
  if (Best >= 0) {
    Block = Kept.Blocks[Best].Block;
    Found = Kept.Blocks[Best].Pages;
    Kept.TotalPages -= Found;
    Kept.Blocks[Best] = Kept.Blocks[--Kept.Count];
  }
  Kept.Lock.Release();
  return Block;
}

bool LARGE_RESERVE::Give(void *Block, uint64_t Pages, uint64_t LivePages) {
  if (Pages > MaxBlockPages)
    return false;
  const uint64_t Limit = LivePages / 4 > MinTotalPages ? LivePages / 4 : MinTotalPages;
  RESERVE &Kept = *Reserve;
  Kept.Lock.Acquire();
  const bool Fits = Kept.Count < MaxBlocks && Kept.TotalPages + Pages <= Limit;
  if (Fits) {
    Kept.Blocks[Kept.Count++] = KEPT_BLOCK{Block, Pages};
    Kept.TotalPages += Pages;
  }
  Kept.Lock.Release();
  return Fits;
}

void LARGE_RESERVE::Drain(void (*Release)(void *Block)) {
  for (;;) {
    RESERVE &Kept = *Reserve;
    Kept.Lock.Acquire();
    void *Block = nullptr;
    if (Kept.Count > 0) {
      Block = Kept.Blocks[--Kept.Count].Block;
      Kept.TotalPages -= Kept.Blocks[Kept.Count].Pages;
    }
    Kept.Lock.Release();
    if (Block == nullptr)
      return;
    Release(Block);
  }
}

void LARGE_RESERVE::Lock() { Reserve->Lock.Acquire(); }
void LARGE_RESERVE::Unlock() { Reserve->Lock.Release(); }

}  // namespace dropin
