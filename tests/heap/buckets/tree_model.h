// The cache tree of the randomised and the multithreaded tests: a parentless
// top cache, two middle caches and small caches of every address layout
// (shift, multiply, chunked), some reusing released elements, some not.
#pragma once

#include <cstring>
#include <new>
#include <vector>

#include "tests/heap/pages/test_tree.h"

struct MODEL_TREE : TEST_TREE {
  CACHE *Top;
  std::vector<CACHE *> Users;  // the caches the tests allocate from

  explicit MODEL_TREE(bool ThreadSafeFlag) : TEST_TREE(ThreadSafeFlag, 0, 2) {
    Top = Add(65536, 0, 65536, 65536, false, nullptr);
    CACHE *Middle = Add(4096, 8, 65536, 65536, true, Top);
    CACHE *Middle8K = Add(8192, 4, 65536, 65536, false, Top);
    Users.push_back(Add(64, 16, 4096, 4096, true, Middle));
    Users.push_back(Add(48, 8, 4096, 4096, false, Middle));
    Users.push_back(Add(12, 32, 64, 4096, true, Middle));
    Users.push_back(Add(24, 4, 100, 4096, false, Middle));
    Users.push_back(Add(1024, 8, 8192, 8192, true, Middle8K));
    Users.push_back(Add(5120, 4, 65536, 65536, false, Top));
    Users.push_back(Middle);
    Register();
  }
};

// Every byte of an element carries its owner's tag, so that an element handed
// to two owners, or overlapping another, shows in its bytes.
inline void FillElement(void *Element, int32_t Size, uint32_t Tag) {
  auto *Bytes = static_cast<unsigned char *>(Element);
  for (int32_t Index = 0; Index < Size; ++Index)
    Bytes[Index] = static_cast<unsigned char>(Tag + static_cast<uint32_t>(Index) * 7u);
}

inline bool ElementIntact(const void *Element, int32_t Size, uint32_t Tag) {
  const auto *Bytes = static_cast<const unsigned char *>(Element);
  for (int32_t Index = 0; Index < Size; ++Index)
    if (Bytes[Index] != static_cast<unsigned char>(Tag + static_cast<uint32_t>(Index) * 7u))
      return false;
  return true;
}

// Descriptors of pages at made-up addresses, for the bucket list's tests.
struct ADDRESSED_PAGES {
  struct alignas(PAGE) SLOT {
    unsigned char Bytes[256];
  };
  std::vector<SLOT> Storage;
  std::vector<PAGE *> Pages;

  ADDRESSED_PAGES(CACHE &Owner, const std::vector<uint64_t> &Addresses) : Storage(Addresses.size()) {
    for (size_t Index = 0; Index < Addresses.size(); ++Index)
      Pages.push_back(new (&Storage[Index]) PAGE(Addresses[Index], &Owner, -1, NoBucket(), 2));
  }
};
