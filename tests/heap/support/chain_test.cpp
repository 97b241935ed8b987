#include "heap/support/chain.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<CHAIN_LINK *> Forward(const CHAIN &Chain) {
  std::vector<CHAIN_LINK *> Links;
  for (CHAIN_LINK *Link = Chain.First; Link != nullptr; Link = Link->Next) Links.push_back(Link);
  return Links;
}

std::vector<CHAIN_LINK *> Backward(const CHAIN &Chain) {
  std::vector<CHAIN_LINK *> Links;
  for (CHAIN_LINK *Link = Chain.Last; Link != nullptr; Link = Link->Previous) Links.insert(Links.begin(), Link);
  return Links;
}

TEST(Chain, AppendUnlinkAndInsertKeepBothDirectionsConsistent) {
  CHAIN Chain;
  CHAIN_LINK A, B, C, D;
  A.Append(Chain);
  EXPECT_EQ(Chain.First, &A);
  EXPECT_EQ(Chain.Last, &A);
  EXPECT_EQ(A.Next, nullptr);
  EXPECT_EQ(A.Previous, nullptr);

  A.InsertBefore(Chain, &B);  // B becomes First
  A.InsertAfter(Chain, &C);   // C becomes Last
  A.InsertAfter(Chain, &D);   // D between A and C
  std::vector<CHAIN_LINK *> Expected{&B, &A, &D, &C};
  EXPECT_EQ(Forward(Chain), Expected);
  EXPECT_EQ(Backward(Chain), Expected);

  D.Unlink(Chain);
  B.Unlink(Chain);
  C.Unlink(Chain);
  EXPECT_EQ(D.Next, nullptr);
  EXPECT_EQ(D.Previous, nullptr);
  EXPECT_EQ(Chain.First, &A);
  EXPECT_EQ(Chain.Last, &A);
  A.Unlink(Chain);
  EXPECT_TRUE(Chain.Empty());
  EXPECT_EQ(Chain.Last, nullptr);
}

TEST(Chain, InsertIntoEmptyChainIgnoresTheAnchor) {
  CHAIN Chain;
  CHAIN_LINK Stale, New;
  Stale.Next = &Stale;  // never looked at when the chain is empty
  Stale.InsertAfter(Chain, &New);
  EXPECT_EQ(Chain.First, &New);
  EXPECT_EQ(Chain.Last, &New);
  EXPECT_EQ(New.Next, nullptr);
  EXPECT_EQ(New.Previous, nullptr);
}

}  // namespace
