#include "tool/walk_crew.h"

#include <chrono>
#include <new>
#include <string>

#include "heap/support/system_facts.h"
#include "tool/parallel_walk.h"
#include "tool/tree_walker.h"

namespace {

constinit std::atomic<int> ChosenWorkers{0};

// Workers do not recurse: a batch, a chain of removals and a message.
constexpr size_t WorkerStackBytes = size_t{1} << 20;
// Held-back output: room for far more folders than the pools let be in
// flight, so that the pools, not the output, set the pace.
constexpr uint32_t OutputSlots = 4096;
constexpr uint32_t OutputBytes = uint32_t{1} << 20;
constexpr int FoldersPerChunk = 64;
// Workers the crew may grow to per processor while they wait on the file
// system: enough to keep a disk's queue full, few enough that their stacks
// and paths stay small.
constexpr int WorkersPerProcessor = 4;
// How long the producer lets pass between looks at the processors' time:
// long enough that the coarsest system clock of processor time sees it.
constexpr uint64_t LookInterval = 32000000;

using PATH_TRAITS = std::char_traits<PATH_CHAR>;

int Clamped(int Workers) { return Workers < 1 ? 1 : Workers > MaximumWalkWorkers ? MaximumWalkWorkers : Workers; }

}  // namespace

int WalkWorkerCount() {
  int Count = ChosenWorkers.load();
  if (Count <= 0) {
    const SYSTEM_FACTS_ATTACHMENT Facts;
    Count = SYSTEM_FACTS::ProcessorCount;
  }
  return Clamped(Count);
}

void ChooseWalkWorkers(int Count) { ChosenWorkers.store(Count > 0 ? Count : 0); }

WALK_CREW::TIMES WALK_CREW::ProcessTimes() {
  const auto Passed = std::chrono::steady_clock::now().time_since_epoch();
  return TIMES{static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(Passed).count()),
               platform::ProcessorTimeUsed()};
}

WALK_CREW::WALK_CREW(int Workers, STARTER Start, PRINTER Print, GAUGE Gauge)
    : Wanted(Clamped(Workers)), Start(Start), Print(Print), Gauge(Gauge),
      Ceiling(Wanted <= 1 ? Wanted : Clamped(Wanted * WorkersPerProcessor)), BatchCount(64 + 8 * Wanted),
      LeftBehindLimit(256 + 16 * Wanted) {}

WALK_CREW::~WALK_CREW() {
  {
    const std::lock_guard<std::mutex> Guard(Lock);
    Stopping = true;
  }
  WorkArrived.notify_all();
  Recalled.notify_all();
  for (int Index = 0; Index < Started; ++Index)
    platform::JoinWalkThread(Workers[Index].Thread);
}

bool WALK_CREW::Prepare() {
  if (Prepared)
    return Started > 0;
  Prepared = true;
  if (Wanted <= 1)
    return false;
  // Everything the walk needs is had before the first thread starts; what
  // cannot be had leaves the run to the one-thread walk.
  Workers.reset(new (std::nothrow) WORKER[Ceiling]);
  Batches.reset(new (std::nothrow) FILE_BATCH[BatchCount]);
  Output.reset(new (std::nothrow) ORDERED_OUTPUT(OutputSlots, OutputBytes, Print));
  RootPath.reset(new (std::nothrow) WORKING_PATH);
  if (Workers == nullptr || Batches == nullptr || Output == nullptr || !Output->Usable() || RootPath == nullptr)
    return false;
  for (int Index = 0; Index < BatchCount; ++Index) {
    Batches[Index].Next = FreeBatches;
    FreeBatches = &Batches[Index];
  }
  FreeBatchCount = BatchCount;
  const std::lock_guard<std::mutex> Guard(Lock);
  // The system may refuse some: the crew goes on with those it gave.
  while (Started < Wanted && StartWorkerLocked()) {
  }
  Floor = Started;
  LastLook = Gauge();
  return Started > 0;
}

bool WALK_CREW::StartWorkerLocked() {
  if (Refused || Started == Ceiling)
    return false;
  WORKER &Worker = Workers[Started];
  Worker.Crew = this;
  Worker.Index = Started;
  // Counted in before it runs: it looks at Active under the lock held here.
  ++Active;
  if (!Start(Worker.Thread, WorkerStackBytes, WorkerMain, &Worker)) {
    --Active;
    Refused = true;
    return false;
  }
  ++Started;
  return true;
}

void WALK_CREW::Adjust() {
  // The processors' time against the time that passed: how many processors'
  // worth of work the process did, the producer's own included.
  const TIMES Now = Gauge();
  if (Now.Passed < LastLook.Passed + LookInterval)
    return;
  const bool Known = Now.Used != 0 && Now.Used >= LastLook.Used;
  const double Busy = Known ? static_cast<double>(Now.Used - LastLook.Used) / static_cast<double>(Now.Passed - LastLook.Passed) : 0;
  LastLook = Now;
  const std::lock_guard<std::mutex> Guard(Lock);
  // Work waits for a worker when most batches found every worker busy.
  const bool WorkWaits = FoundAllBusy * 2 > Dispatched;
  Dispatched = FoundAllBusy = 0;
  if (!Known)
    return;
  if (WorkWaits && Busy < 0.5 * Wanted) {
    // The workers wait on the file system, not on the processors: one more.
    if (Active < Started) {
      ++Active;
      Recalled.notify_all();
    } else {
      StartWorkerLocked();
    }
  } else if (Busy >= 0.75 * Wanted && Active > Floor) {
    --Active;  // the processors are busy: the last grown worker rests after its unit
  }
}

bool WALK_CREW::DeleteDirectoryContents(WORKING_PATH &Path, TREE_TOTALS &Totals) {
  if (!Prepare())
    return false;
  *RootPath = Path;
  FOLDER_NODE *const Root = NewFolder(nullptr, nullptr, 0, Path.Length());
  if (Root == nullptr)
    return false;
  PARALLEL_WALK(*this, Path, Totals).WalkFolder(*Root, nullptr);
  RETURNS None;  // the argument's folder is freed here, never handed back
  Release(*Root, Path, None);
  WaitFor(AWAITED::Root, [this] { return RootDone; });
  // Everything is written; what another thread has not printed yet is printed
  // now, before the driver's own line for the argument.
  Output->PrintComplete();
  {
    const std::lock_guard<std::mutex> Guard(Lock);
    RootDone = false;
    Root->Next = FreeFolders;
    FreeFolders = Root;
  }
  Totals.Files += DeletedFiles.exchange(0);
  Totals.Bytes += DeletedBytes.exchange(0);
  return true;
}

// ---- The producer's side ----

template <typename READY> void WALK_CREW::WaitFor(AWAITED What, READY Ready) {
  std::unique_lock<std::mutex> Guard(Lock);
  WaitLocked(Guard, What, Ready);
}

template <typename READY> void WALK_CREW::WaitLocked(std::unique_lock<std::mutex> &Guard, AWAITED What, READY Ready) {
  while (!Ready()) {
    // Announced before the last look: whoever makes room after that look sees
    // the announcement. Room in the output is made without the lock, so both
    // sides' stores and loads are sequentially consistent.
    Awaited.store(What);
    if (Ready())
      break;
    RoomMade.wait(Guard);
  }
  Awaited.store(AWAITED::Nothing);
}

bool WALK_CREW::ProducerMayGoOnLocked() const {
  // A quarter of the batches, or of the folders' allowance, is enough to be
  // worth waking for; the output's room is watched where it is made.
  switch (Awaited.load(std::memory_order_relaxed)) {
  case AWAITED::Batches:
    return FreeBatchCount >= BatchCount / 4;
  case AWAITED::Folders:
    return LeftBehind <= LeftBehindLimit - LeftBehindLimit / 4;
  case AWAITED::Settled:
    return FreeBatchCount == BatchCount && LeftBehind == 0;
  case AWAITED::Root:
    return RootDone;
  case AWAITED::Nothing:
  case AWAITED::Room:
    break;
  }
  return false;
}

FOLDER_NODE *WALK_CREW::NewFolder(FOLDER_NODE *Parent, const PATH_CHAR *Name, size_t NameLength, size_t PathLength) {
  FOLDER_NODE *Folder;
  {
    std::unique_lock<std::mutex> Guard(Lock);
    // Folders on the producer's way down are bounded by the working path's
    // depth; those left behind, waiting for their contents, by the limit.
    if (Parent != nullptr)
      WaitLocked(Guard, AWAITED::Folders, [this] { return LeftBehind < LeftBehindLimit; });
    if (FreeFolders == nullptr && !GrowFolders())
      return nullptr;
    Folder = static_cast<FOLDER_NODE *>(FreeFolders);
    FreeFolders = Folder->Next;
  }
  Folder->Next = nullptr;
  Folder->Parent = Parent;
  Folder->Listed = false;
  Folder->Pending.store(1, std::memory_order_relaxed);  // the producer's hold
  Folder->PathLength = static_cast<uint32_t>(PathLength);
  Folder->NameLength = static_cast<uint32_t>(NameLength);
  Folder->Slot = 0;
  if (Name != nullptr)
    PATH_TRAITS::copy(Folder->Name, Name, NameLength);
  Folder->Name[NameLength] = 0;
  if (Parent != nullptr)
    Parent->Pending.fetch_add(1, std::memory_order_relaxed);
  return Folder;
}

bool WALK_CREW::GrowFolders() {
  if (FolderChunksUsed == FolderChunkCount)
    return false;
  FOLDER_NODE *const Chunk = new (std::nothrow) FOLDER_NODE[FoldersPerChunk];
  if (Chunk == nullptr)
    return false;
  FolderChunks[FolderChunksUsed++].reset(Chunk);
  for (int Index = 0; Index < FoldersPerChunk; ++Index) {
    Chunk[Index].Next = FreeFolders;
    FreeFolders = &Chunk[Index];
  }
  return true;
}

void WALK_CREW::LeaveFolder(FOLDER_NODE &Folder, uint32_t LineBytes) {
  // Its line's place: behind everything below it, before what follows it.
  Folder.Slot = ReserveSlot(LineBytes);
  const std::lock_guard<std::mutex> Guard(Lock);
  ++LeftBehind;
  if (Folder.Pending.fetch_sub(1, std::memory_order_acq_rel) == 1)
    EnqueueLocked(Folder);  // nothing below it is in flight: a worker removes it
}

void WALK_CREW::DropFolder(FOLDER_NODE &Folder) {
  // Its parent is still being listed, so the producer's hold keeps it pending.
  Folder.Parent->Pending.fetch_sub(1, std::memory_order_acq_rel);
  const std::lock_guard<std::mutex> Guard(Lock);
  Folder.Next = FreeFolders;
  FreeFolders = &Folder;
}

FILE_BATCH &WALK_CREW::TakeBatch(FOLDER_NODE &Folder) {
  FILE_BATCH *Batch;
  {
    std::unique_lock<std::mutex> Guard(Lock);
    WaitLocked(Guard, AWAITED::Batches, [this] { return FreeBatches != nullptr; });
    Batch = static_cast<FILE_BATCH *>(FreeBatches);
    FreeBatches = Batch->Next;
    --FreeBatchCount;
  }
  Batch->Next = nullptr;
  Batch->Folder = &Folder;
  Batch->Count = 0;
  Batch->NamesUsed = 0;
  Batch->OutputBytes = 0;
  return *Batch;
}

void WALK_CREW::Dispatch(FILE_BATCH &Batch) {
  Batch.Slot = ReserveSlot(Batch.OutputBytes);
  Batch.Folder->Pending.fetch_add(1, std::memory_order_relaxed);
  {
    const std::lock_guard<std::mutex> Guard(Lock);
    ++Dispatched;
    FoundAllBusy += IdleWorkers == 0 ? 1 : 0;
    EnqueueLocked(Batch);
  }
  if (Ceiling > Floor)
    Adjust();
}

void WALK_CREW::Emit(const char *Template, const PATH_CHAR *Path, const PATH_CHAR *Name) {
  const size_t NameLength = Name != nullptr ? PATH_TRAITS::length(Name) : 0;
  const ORDERED_OUTPUT::SLOT_NUMBER Slot =
      ReserveSlot(ORDERED_OUTPUT::MessageBytes(PATH_TRAITS::length(Path), NameLength, Name != nullptr));
  Output->Write(Slot, Template, Path, Name);
  Output->Complete(Slot);
  Publish();
}

void WALK_CREW::Settle() {
  WaitFor(AWAITED::Settled, [this] { return FreeBatchCount == BatchCount && LeftBehind == 0 && Output->Drained(); });
}

ORDERED_OUTPUT::SLOT_NUMBER WALK_CREW::ReserveSlot(uint32_t Bytes) {
  // The room is this thread's to look at without the lock; only a wait needs it.
  if (!Output->HasRoom(Bytes))
    WaitFor(AWAITED::Room, [this, Bytes] { return Output->HasRoom(Bytes); });
  ORDERED_OUTPUT::SLOT_NUMBER Slot = 0;
  Output->Reserve(Bytes, Slot);  // only this thread reserves: the room is still there
  return Slot;
}

void WALK_CREW::EnqueueLocked(WORK_UNIT &Unit) {
  Unit.Next = nullptr;
  if (QueueTail != nullptr)
    QueueTail->Next = &Unit;
  else
    QueueHead = &Unit;
  QueueTail = &Unit;
  if (IdleWorkers > 0)
    WorkArrived.notify_one();
}

// ---- The workers' side ----

void WALK_CREW::WorkerMain(void *Context) {
  WORKER &Worker = *static_cast<WORKER *>(Context);
  Worker.Crew->Work(Worker);
}

void WALK_CREW::Work(WORKER &Worker) {
  WORKING_PATH &Path = Worker.Path;
  RETURNS Returns;
  for (;;) {
    WORK_UNIT *Unit;
    {
      std::unique_lock<std::mutex> Guard(Lock);
      ReturnLocked(Returns);
      for (;;) {
        const bool Resting = Worker.Index >= Active;
        if (!Resting && QueueHead != nullptr)
          break;
        if (Stopping)
          return;
        if (Resting) {
          // Work it may have been woken for goes to a worker that takes work.
          if (QueueHead != nullptr && IdleWorkers > 0)
            WorkArrived.notify_one();
          Recalled.wait(Guard);
        } else {
          ++IdleWorkers;
          WorkArrived.wait(Guard);
          --IdleWorkers;
        }
      }
      Unit = QueueHead;
      QueueHead = Unit->Next;
      if (QueueHead == nullptr)
        QueueTail = nullptr;
    }
    if (Unit->Kind == WORK_UNIT::KIND::FileBatch)
      RunBatch(*static_cast<FILE_BATCH *>(Unit), Path, Returns);
    else
      FinishFolders(static_cast<FOLDER_NODE *>(Unit), Path, Returns);
  }
}

void WALK_CREW::ReturnLocked(RETURNS &Returns) {
  // A batch goes back only once its folder has been let go, so that a settled
  // crew, with every batch back, has nothing left in flight.
  if (Returns.Batch != nullptr) {
    Returns.Batch->Next = FreeBatches;
    FreeBatches = Returns.Batch;
    ++FreeBatchCount;
  }
  while (Returns.Folders != nullptr) {
    WORK_UNIT *const Folder = Returns.Folders;
    Returns.Folders = Folder->Next;
    Folder->Next = FreeFolders;
    FreeFolders = Folder;
  }
  LeftBehind -= Returns.FolderCount;
  Returns = RETURNS{};
  if (ProducerMayGoOnLocked())
    RoomMade.notify_one();
}

void WALK_CREW::RunBatch(FILE_BATCH &Batch, WORKING_PATH &Path, RETURNS &Returns) {
  FOLDER_NODE &Folder = *Batch.Folder;
  // Where entries are reached by name alone, the path serves only messages.
  bool PathBuilt = false;
  if (platform::EntriesAreReachedByPath) {
    BuildPath(Folder, Path);
    PathBuilt = true;
  }
  uint64_t Files = 0, Bytes = 0;
  for (uint32_t Index = 0; Index < Batch.Count; ++Index) {
    const FILE_BATCH::ENTRY &Entry = Batch.Entries[Index];
    const PATH_CHAR *const Name = Batch.Names + Entry.NameAt;
    if (PathBuilt && !Path.AppendEntry(Name))
      continue;  // never: the producer batches only what fits
    const platform::PLACE Place{Path.Text(), &Folder.Enumeration, Name, Entry.ListedSize};
    const uint64_t Size = platform::EntrySize(Place);
    platform::ResetAttributes(Place);
    if (!platform::DeleteFileEntry(Place)) {
      if (!PathBuilt) {
        BuildPath(Folder, Path);
        PathBuilt = Path.AppendEntry(Name);
      }
      if (PathBuilt)
        Output->Write(Batch.Slot, CouldNotDeleteMessage, Path.Text());
      Publish();
    }
    Files += 1;
    Bytes += Size;
    if (PathBuilt)
      Path.CutBack(Folder.PathLength);
  }
  DeletedFiles.fetch_add(Files, std::memory_order_relaxed);
  DeletedBytes.fetch_add(Bytes, std::memory_order_relaxed);
  Output->Complete(Batch.Slot);
  Publish();
  Release(Folder, Path, Returns);
  Returns.Batch = &Batch;
}

void WALK_CREW::Release(FOLDER_NODE &Folder, WORKING_PATH &Path, RETURNS &Returns) {
  if (Folder.Pending.fetch_sub(1, std::memory_order_acq_rel) == 1)
    FinishFolders(&Folder, Path, Returns);
}

void WALK_CREW::FinishFolders(FOLDER_NODE *Folder, WORKING_PATH &Path, RETURNS &Returns) {
  // A folder's removal may be the last thing its parent waited for, and so on
  // up: a loop, not a recursion.
  while (Folder != nullptr) {
    if (Folder->Listed) {
      platform::CloseEnumeration(Folder->Enumeration);
      Folder->Listed = false;
    }
    FOLDER_NODE *const Parent = Folder->Parent;
    if (Parent == nullptr) {
      // The argument itself is the driver's to remove.
      const std::lock_guard<std::mutex> Guard(Lock);
      RootDone = true;
      if (ProducerMayGoOnLocked())
        RoomMade.notify_one();
      return;
    }
    BuildPath(*Folder, Path);
    const platform::PLACE Place{Path.Text(), &Parent->Enumeration, Folder->Name};
    const bool Removed = RemoveEmptiedFolder(Place);
    Output->Write(Folder->Slot, Removed ? RemovingMessage : CouldNotRemoveMessage, DisplayForm(Path.Text()));
    Output->Complete(Folder->Slot);
    Publish();
    Folder->Next = Returns.Folders;
    Returns.Folders = Folder;
    Returns.FolderCount += 1;
    Folder = Parent->Pending.fetch_sub(1, std::memory_order_acq_rel) == 1 ? Parent : nullptr;
  }
}

void WALK_CREW::BuildPath(const FOLDER_NODE &Folder, WORKING_PATH &Path) const {
  // Each folder's name ends where its path does, behind its parent's path and
  // a separator; the argument's path starts them all.
  for (const FOLDER_NODE *Node = &Folder; Node->Parent != nullptr; Node = Node->Parent) {
    const size_t NameStart = Node->PathLength - Node->NameLength;
    PATH_TRAITS::copy(Path.Characters + NameStart, Node->Name, Node->NameLength);
    Path.Characters[NameStart - 1] = platform::PathSeparator;
  }
  PATH_TRAITS::copy(Path.Characters, RootPath->Characters, RootPath->Used);
  Path.CutBack(Folder.PathLength);
}

void WALK_CREW::Publish() {
  if (!Output->Publish())
    return;
  // Room was freed, with sequentially consistent stores, before this look at
  // the producer's announcement, made as WaitFor makes it before its last look.
  const AWAITED What = Awaited.load();
  if (What == AWAITED::Room || What == AWAITED::Settled) {
    const std::lock_guard<std::mutex> Guard(Lock);
    RoomMade.notify_one();
  }
}
