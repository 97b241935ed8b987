#include "tool/ordered_output.h"

#include <cstring>
#include <new>
#include <string>
#include <thread>

namespace {

using PATH_TRAITS = std::char_traits<PATH_CHAR>;

// What precedes a message's characters in the byte ring: the path, zero
// terminated, then the name, zero terminated, when there is one.
struct MESSAGE_HEADER {
  const char *Template;
  uint32_t PathLength;
  uint32_t NameLength;  // NoName when there is none
};
constexpr uint32_t NoName = UINT32_MAX;
constexpr uint64_t Alignment = 8;
static_assert(sizeof(MESSAGE_HEADER) % Alignment == 0);

uint64_t RoundUp(uint64_t Bytes) { return (Bytes + Alignment - 1) / Alignment * Alignment; }

}  // namespace

ORDERED_OUTPUT::ORDERED_OUTPUT(uint32_t SlotCount, uint32_t ByteCount, PRINTER Print)
    : SlotCount(SlotCount), ByteCount(ByteCount / Alignment * Alignment), Print(Print),
      Slots(SlotCount > 0 ? new (std::nothrow) SLOT[SlotCount] : nullptr),
      Storage(this->ByteCount > 0 ? new (std::nothrow) uint64_t[this->ByteCount / sizeof(uint64_t)] : nullptr) {}

uint32_t ORDERED_OUTPUT::MessageBytes(size_t PathLength, size_t NameLength, bool HasName) {
  const uint64_t Characters = PathLength + 1 + (HasName ? NameLength + 1 : 0);
  return static_cast<uint32_t>(RoundUp(sizeof(MESSAGE_HEADER) + Characters * sizeof(PATH_CHAR)));
}

bool ORDERED_OUTPUT::Fits(uint32_t Bytes, uint64_t &Start) const {
  // Sequentially consistent, as the printer's stores are: a waiter that
  // announces itself and then looks here, and a printer that frees room and
  // then looks for waiters, never both miss each other.
  if (Bytes == 0 || Bytes > ByteCount || NextSlot - FreedSlots.load() >= SlotCount)
    return false;
  // A slot's room never wraps around the ring's end, so that its messages lie
  // in one piece: what is left before the end is skipped.
  Start = NextByte;
  const uint64_t Offset = Start % ByteCount;
  if (Offset + Bytes > ByteCount)
    Start += ByteCount - Offset;
  return Start + Bytes - FreedBytes.load() <= ByteCount;
}

bool ORDERED_OUTPUT::HasRoom(uint32_t Bytes) const {
  uint64_t Start;
  return Fits(RoundUp(Bytes), Start);
}

bool ORDERED_OUTPUT::Reserve(uint32_t Bytes, SLOT_NUMBER &Slot) {
  Bytes = static_cast<uint32_t>(RoundUp(Bytes));
  uint64_t Start;
  if (!Fits(Bytes, Start))
    return false;
  // The printer reset Written and Complete before it freed the record.
  SLOT &Record = Slots[NextSlot % SlotCount];
  Record.Start = Start;
  Record.End = Start + Bytes;
  NextByte = Record.End;
  Slot = NextSlot++;
  ReservedSlots.store(NextSlot, std::memory_order_release);
  return true;
}

bool ORDERED_OUTPUT::Drained() const { return FreedSlots.load() == NextSlot; }

bool ORDERED_OUTPUT::Write(SLOT_NUMBER Slot, const char *Template, const PATH_CHAR *Path, const PATH_CHAR *Name) {
  SLOT &Record = Slots[Slot % SlotCount];
  const size_t PathLength = PATH_TRAITS::length(Path);
  const size_t NameLength = Name != nullptr ? PATH_TRAITS::length(Name) : 0;
  const uint32_t Size = MessageBytes(PathLength, NameLength, Name != nullptr);
  const uint64_t Written = Record.Written.load(std::memory_order_relaxed);
  const uint64_t Position = Record.Start + Written;
  if (Position + Size > Record.End || PathLength >= NoName || NameLength >= NoName)
    return false;
  unsigned char *const Place = At(Position);
  const MESSAGE_HEADER Header{Template, static_cast<uint32_t>(PathLength),
                              Name != nullptr ? static_cast<uint32_t>(NameLength) : NoName};
  std::memcpy(Place, &Header, sizeof Header);
  PATH_CHAR *const Characters = reinterpret_cast<PATH_CHAR *>(Place + sizeof Header);
  PATH_TRAITS::copy(Characters, Path, PathLength);
  Characters[PathLength] = 0;
  if (Name != nullptr) {
    PATH_TRAITS::copy(Characters + PathLength + 1, Name, NameLength);
    Characters[PathLength + 1 + NameLength] = 0;
  }
  Record.Written.store(Written + Size, std::memory_order_release);
  return true;
}

void ORDERED_OUTPUT::Complete(SLOT_NUMBER Slot) { Slots[Slot % SlotCount].Complete.store(true, std::memory_order_release); }

bool ORDERED_OUTPUT::PrintReady() {
  bool Freed = false;
  SLOT_NUMBER Head = FreedSlots.load(std::memory_order_relaxed);  // only the printer moves it
  while (Head < ReservedSlots.load(std::memory_order_acquire)) {
    SLOT &Record = Slots[Head % SlotCount];
    // Complete first: once it is seen, Written is final.
    const bool Done = Record.Complete.load(std::memory_order_acquire);
    const uint64_t Written = Record.Written.load(std::memory_order_acquire);
    while (PrintedInSlot < Written) {
      const unsigned char *const Place = At(Record.Start + PrintedInSlot);
      MESSAGE_HEADER Header;
      std::memcpy(&Header, Place, sizeof Header);
      const PATH_CHAR *const Path = reinterpret_cast<const PATH_CHAR *>(Place + sizeof Header);
      const bool HasName = Header.NameLength != NoName;
      Print(Header.Template, Path, HasName ? Path + Header.PathLength + 1 : nullptr);
      PrintedInSlot += MessageBytes(Header.PathLength, HasName ? Header.NameLength : 0, HasName);
    }
    if (!Done)
      break;
    PrintedInSlot = 0;
    Record.Written.store(0, std::memory_order_relaxed);
    Record.Complete.store(false, std::memory_order_relaxed);
    // The bytes first: whoever sees the slot freed sees its room freed too.
    FreedBytes.store(Record.End);
    FreedSlots.store(++Head);
    Freed = true;
  }
  return Freed;
}

bool ORDERED_OUTPUT::Publish() {
  // The request is counted before the printer is tried: a holder that finishes
  // after it sees it and prints again, so nothing complete is left unprinted.
  PrintRequests.fetch_add(1);
  bool Freed = false;
  while (!PrinterBusy.test_and_set()) {
    const uint64_t Seen = PrintRequests.load();
    Freed = PrintReady() || Freed;
    PrinterBusy.clear();
    if (PrintRequests.load() == Seen)
      break;
  }
  return Freed;
}

void ORDERED_OUTPUT::PrintComplete() {
  while (PrinterBusy.test_and_set())
    std::this_thread::yield();
  PrintReady();
  PrinterBusy.clear();
}
