// The messages of a parallel walk, printed in exactly the order the one-thread
// walk prints them. The walk's one producer reserves a slot for each piece of
// work at that work's place in the order, with room for the most messages the
// work can yield; whoever does the work writes its messages into that slot;
// whoever holds the printer prints the first slot's messages as they come and
// moves on to the next slot once the first is complete.
//
// Invariants: slots print in the order they were reserved, messages within a
// slot in the order they were written, each exactly once; a message is printed
// as soon as every earlier one is known; memory is fixed at construction (a
// ring of slot records and a ring of message bytes, both freed in the order
// they were reserved); a writer never waits, since its room was reserved for
// it. One thread reserves, one thread at a time writes each slot, any thread
// may print.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/entry.h"

class ORDERED_OUTPUT {
public:
  // Prints one message: Template with its "%s" standing for Path, or for
  // Path, a separator and Name when Name is given.
  using PRINTER = void (*)(const char *Template, const PATH_CHAR *Path, const PATH_CHAR *Name);
  using SLOT_NUMBER = uint64_t;

  ORDERED_OUTPUT(uint32_t SlotCount, uint32_t ByteCount, PRINTER Print);
  ORDERED_OUTPUT(const ORDERED_OUTPUT &) = delete;
  ORDERED_OUTPUT &operator=(const ORDERED_OUTPUT &) = delete;

  // False when its memory could not be had; nothing else may then be called.
  bool Usable() const { return Slots != nullptr && Storage != nullptr; }

  // The room one message takes: a path of PathLength characters and, when
  // HasName, a name of NameLength.
  static uint32_t MessageBytes(size_t PathLength, size_t NameLength = 0, bool HasName = false);

  // The reserving thread: whether a slot of Bytes would fit now, and the slot
  // itself, behind every slot reserved so far (false, nothing reserved, when
  // it does not fit now). Room is freed only by printing.
  bool HasRoom(uint32_t Bytes) const;
  bool Reserve(uint32_t Bytes, SLOT_NUMBER &Slot);
  // Every slot reserved so far is complete and printed.
  bool Drained() const;

  // The slot's writer: appends one message, copying Path and Name. False,
  // with nothing written, when it would overflow the slot's room, which a
  // right reservation never lets happen.
  bool Write(SLOT_NUMBER Slot, const char *Template, const PATH_CHAR *Path, const PATH_CHAR *Name = nullptr);
  // No more messages come for the slot.
  void Complete(SLOT_NUMBER Slot);

  // Prints what can be printed now; when another thread is printing, leaves it
  // to that thread, which then prints this too. True when this call freed room.
  bool Publish();
  // Waits for any other printer, then prints every complete slot.
  void PrintComplete();

private:
  struct SLOT {
    uint64_t Start = 0;  // its room in the byte ring, as positions that only grow
    uint64_t End = 0;
    std::atomic<uint64_t> Written{0};  // bytes of whole messages at Start
    std::atomic<bool> Complete{false};
  };

  bool Fits(uint32_t Bytes, uint64_t &Start) const;
  // With the printer held: prints and frees what it can; true when it freed room.
  bool PrintReady();
  unsigned char *At(uint64_t Position) const {
    return reinterpret_cast<unsigned char *>(Storage.get()) + Position % ByteCount;
  }

  const uint32_t SlotCount;
  const uint64_t ByteCount;
  const PRINTER Print;
  std::unique_ptr<SLOT[]> Slots;
  std::unique_ptr<uint64_t[]> Storage;  // the byte ring, 8-byte aligned for the message headers

  // The reserving thread's own.
  SLOT_NUMBER NextSlot = 0;
  uint64_t NextByte = 0;
  // Published by the reserving thread to the printer.
  std::atomic<SLOT_NUMBER> ReservedSlots{0};
  // Published by the printer to the reserving thread, sequentially consistent.
  std::atomic<SLOT_NUMBER> FreedSlots{0};
  std::atomic<uint64_t> FreedBytes{0};
  // The printer: held by the thread that prints; requests tell the holder
  // that there may be more to print than it saw.
  std::atomic_flag PrinterBusy = ATOMIC_FLAG_INIT;
  std::atomic<uint64_t> PrintRequests{0};
  uint64_t PrintedInSlot = 0;  // the printer's own: bytes of the first slot already printed
};
