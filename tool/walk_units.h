// What the threads of a parallel walk hand each other: folders whose removal
// waits for their contents, and batches of one folder's files. Both come from
// fixed pools and go back to them; neither is allocated per entry.
//
// Invariants: a folder's Pending counts the producer's hold while it lists the
// folder, each batch of its files not yet done and each subfolder not yet
// removed; whoever brings it to 0 removes the folder (the argument's is left
// to the driver). A folder outlives everything counted in its Pending, so a
// unit can always reach its folder and every folder above it. Name, lengths,
// Parent and the listing's descriptor are written before the folder is shared
// and never change while it is.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/file_system.h"
#include "tool/ordered_output.h"

struct WORK_UNIT {
  enum class KIND : uint8_t { FileBatch, FolderRemoval };
  KIND Kind;
  WORK_UNIT *Next = nullptr;  // in the queue or a pool's free list

  explicit WORK_UNIT(KIND Kind) : Kind(Kind) {}
};

// A folder of the tree from its listing to its removal.
struct FOLDER_NODE : WORK_UNIT {
  platform::DIRECTORY_ENUMERATION Enumeration;
  bool Listed = false;            // Enumeration is open and is closed before the folder goes
  FOLDER_NODE *Parent = nullptr;  // null for the argument
  std::atomic<int32_t> Pending{0};
  uint32_t PathLength = 0;  // its full working path, the long-path prefix included
  uint32_t NameLength = 0;  // its name in Parent, at the end of that path
  ORDERED_OUTPUT::SLOT_NUMBER Slot = 0;  // where the line of its removal goes
  PATH_CHAR Name[platform::EntryNameCapacity];

  FOLDER_NODE() : WORK_UNIT(KIND::FolderRemoval) {}
};

// Files of one folder, in the order its listing gave them, to be deleted by
// one thread; what cannot be deleted is reported in the batch's slot.
struct FILE_BATCH : WORK_UNIT {
  struct ENTRY {
    uint32_t NameAt;      // in Names, zero terminated
    uint32_t NameLength;
    uint64_t ListedSize;  // what the listing said, where it says
  };
  static constexpr uint32_t EntryCapacity = 64;
  static constexpr uint32_t NameCapacity = 4096;  // characters, terminators included

  FOLDER_NODE *Folder = nullptr;
  ORDERED_OUTPUT::SLOT_NUMBER Slot = 0;
  uint32_t Count = 0;
  uint32_t NamesUsed = 0;
  uint32_t OutputBytes = 0;  // room its messages could take at most
  ENTRY Entries[EntryCapacity];
  PATH_CHAR Names[NameCapacity];

  FILE_BATCH() : WORK_UNIT(KIND::FileBatch) {}
};
