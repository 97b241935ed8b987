// Intrusive doubly linked lists: the link lives inside the listed object, so
// listing never allocates. A link is in at most one chain at a time and does not
// know its chain; every operation is told the chain it works on. Chains have no
// lock of their own: the owner of a chain protects it.
#pragma once

struct CHAIN_LINK;

struct CHAIN {
  CHAIN_LINK *First = nullptr;
  CHAIN_LINK *Last = nullptr;

  bool Empty() const { return First == nullptr; }
  void Reset() { First = Last = nullptr; }
};

struct CHAIN_LINK {
  CHAIN_LINK *Next = nullptr;
  CHAIN_LINK *Previous = nullptr;

  void Append(CHAIN &Chain) {
    Previous = Chain.Last;
    Next = nullptr;
    if (Chain.Last == nullptr)
      Chain.First = this;
    else
      Chain.Last->Next = this;
    Chain.Last = this;
  }

  void InsertAfter(CHAIN &Chain, CHAIN_LINK *NewLink) {
    if (Chain.Last == nullptr) {
      NewLink->MakeOnlyLinkOf(Chain);
      return;
    }
    if (Next != nullptr)
      Next->Previous = NewLink;
    else
      Chain.Last = NewLink;
    NewLink->Previous = this;
    NewLink->Next = Next;
    Next = NewLink;
  }

  void InsertBefore(CHAIN &Chain, CHAIN_LINK *NewLink) {
    if (Chain.Last == nullptr) {
      NewLink->MakeOnlyLinkOf(Chain);
      return;
    }
    if (Previous != nullptr)
      Previous->Next = NewLink;
    else
      Chain.First = NewLink;
    NewLink->Next = this;
    NewLink->Previous = Previous;
    Previous = NewLink;
  }

  void Unlink(CHAIN &Chain) {
    if (Previous != nullptr)
      Previous->Next = Next;
    else
      Chain.First = Next;
    if (Next != nullptr)
      Next->Previous = Previous;
    else
      Chain.Last = Previous;
    Next = Previous = nullptr;
  }

 private:
  void MakeOnlyLinkOf(CHAIN &Chain) {
    Chain.First = Chain.Last = this;
    Next = Previous = nullptr;
  }
};
