// The threads that delete a tree together, and what they share: a queue of
// work, the pools the work comes from, and the output that keeps the
// one-thread walk's order. One thread, the producer, lists the folders in the
// one-thread walk's order and hands out batches of files and the removal of
// folders whose listing is done; the crew's workers do that work. The crew
// lives for a run and serves each argument in turn.
//
// Invariants:
// - Every message lands in a slot reserved at its place in the one-thread
//   order, so the output is that walk's, byte for byte, and every count is.
// - Memory is fixed: pools of batches and folders, an output ring; past them
//   the producer waits for the workers, never the other way round, so that the
//   workers always make progress and the producer's waits always end.
// - After Settle, nothing is in flight: the file system is as the one-thread
//   walk would have left it at the producer's place, and all output is printed.
// - The crew never gives up work: with no thread to be had it declines
//   before starting, and the caller walks with one thread.
// - Work in flight follows what holds the workers up: while work waits in the
//   queue and the processors are mostly idle (the workers wait on the file
//   system), the crew grows a worker at a time, up to a few per processor;
//   once the processors are busy again, the grown workers rest after their
//   unit. It never shrinks below the workers it started with.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/console.h"
#include "platform/walk_threads.h"
#include "tool/ordered_output.h"
#include "tool/tree_totals.h"
#include "tool/walk_units.h"
#include "tool/working_path.h"

constexpr int MaximumWalkWorkers = 64;

// The number of workers a run's walk uses: the processors the system facts
// count, or what a test or benchmark chose; 1 means the one-thread walk.
int WalkWorkerCount();
// The seam for tests and benchmarks: 0 returns to the processor count.
void ChooseWalkWorkers(int Count);

class WALK_CREW {
public:
  using STARTER = bool (*)(platform::WALK_THREAD &Thread, size_t StackBytes, void (*Body)(void *), void *Context);
  using PRINTER = ORDERED_OUTPUT::PRINTER;
  // What the crew's size follows, both in ns: the time passed since some fixed
  // moment, and the processor time the process has used (0 when unknown).
  struct TIMES {
    uint64_t Passed;
    uint64_t Used;
  };
  using GAUGE = TIMES (*)();
  static TIMES ProcessTimes();

  // Workers threads, one per processor, started when first needed, fewer when
  // the system refuses some; more while they wait on the file system. Start,
  // Print and Gauge are seams for tests.
  explicit WALK_CREW(int Workers, STARTER Start = platform::StartWalkThread,
                     PRINTER Print = platform::PrintPathMessage, GAUGE Gauge = ProcessTimes);
  ~WALK_CREW();
  WALK_CREW(const WALK_CREW &) = delete;
  WALK_CREW &operator=(const WALK_CREW &) = delete;

  // The contents step of an ordinary directory given as an argument, at Path,
  // done by the crew. False, with nothing done, when it has no thread.
  bool DeleteDirectoryContents(WORKING_PATH &Path, TREE_TOTALS &Totals);

  // Workers started so far, grown ones included.
  int Threads() const { return Started; }
  // The most workers it may grow to.
  int Bound() const { return Ceiling; }

  // The producer's side, for PARALLEL_WALK. Each may wait for the workers.
  FOLDER_NODE *NewFolder(FOLDER_NODE *Parent, const PATH_CHAR *Name, size_t NameLength, size_t PathLength);
  void LeaveFolder(FOLDER_NODE &Folder, uint32_t LineBytes);
  // A new folder that proved to be another mount's root: no line, no removal.
  void DropFolder(FOLDER_NODE &Folder);
  FILE_BATCH &TakeBatch(FOLDER_NODE &Folder);
  void Dispatch(FILE_BATCH &Batch);
  void Emit(const char *Template, const PATH_CHAR *Path, const PATH_CHAR *Name = nullptr);
  void Settle();

private:
  struct WORKER {
    WALK_CREW *Crew = nullptr;
    int Index = 0;  // it takes work while Index < Active
    platform::WALK_THREAD Thread;
    WORKING_PATH Path;  // its own, rebuilt from the folders for each unit
  };

  bool Prepare();
  static void WorkerMain(void *Context);
  // What the producer sleeps for. Whoever changes what it waits on wakes it
  // only once the wait is worth ending, so that it works in bursts instead of
  // being woken for every unit.
  enum class AWAITED : uint8_t { Nothing, Batches, Folders, Room, Settled, Root };

  // Units a worker is done with, handed back with its next look at the queue.
  struct RETURNS {
    FILE_BATCH *Batch = nullptr;
    WORK_UNIT *Folders = nullptr;
    int FolderCount = 0;
  };

  void Work(WORKER &Worker);
  bool StartWorkerLocked();
  void Adjust();
  void RunBatch(FILE_BATCH &Batch, WORKING_PATH &Path, RETURNS &Returns);
  void Release(FOLDER_NODE &Folder, WORKING_PATH &Path, RETURNS &Returns);
  void FinishFolders(FOLDER_NODE *Folder, WORKING_PATH &Path, RETURNS &Returns);
  void BuildPath(const FOLDER_NODE &Folder, WORKING_PATH &Path) const;
  void ReturnLocked(RETURNS &Returns);
  bool GrowFolders();
  ORDERED_OUTPUT::SLOT_NUMBER ReserveSlot(uint32_t Bytes);
  void EnqueueLocked(WORK_UNIT &Unit);
  void Publish();
  bool ProducerMayGoOnLocked() const;
  template <typename READY> void WaitFor(AWAITED What, READY Ready);
  template <typename READY> void WaitLocked(std::unique_lock<std::mutex> &Guard, AWAITED What, READY Ready);

  // Settings and seams.
  const int Wanted;
  const STARTER Start;
  const PRINTER Print;
  const GAUGE Gauge;
  const int Ceiling;
  const int BatchCount;
  const int LeftBehindLimit;

  // Set up once, on first use.
  bool Prepared = false;
  int Started = 0;
  int Floor = 0;  // the workers started first, which never rest
  std::unique_ptr<WORKER[]> Workers;
  std::unique_ptr<FILE_BATCH[]> Batches;
  std::unique_ptr<ORDERED_OUTPUT> Output;
  std::unique_ptr<WORKING_PATH> RootPath;  // the argument's path, which every folder's path starts with
  static constexpr int FolderChunkCount = 160;
  std::unique_ptr<FOLDER_NODE[]> FolderChunks[FolderChunkCount];
  int FolderChunksUsed = 0;

  // Guarded by Lock.
  std::mutex Lock;
  std::condition_variable WorkArrived;  // workers wait for work
  std::condition_variable RoomMade;     // the producer waits for room or an end
  std::condition_variable Recalled;     // resting workers wait to be taken back
  WORK_UNIT *QueueHead = nullptr;
  WORK_UNIT *QueueTail = nullptr;
  int IdleWorkers = 0;
  int Active = 0;           // workers that take work; those beyond rest
  bool Refused = false;     // the system would start no more workers
  int Dispatched = 0;       // batches handed out since the last look at the crew's size,
  int FoundAllBusy = 0;     // and of those, how many found no worker idle
  bool Stopping = false;
  WORK_UNIT *FreeBatches = nullptr;
  int FreeBatchCount = 0;
  WORK_UNIT *FreeFolders = nullptr;
  int LeftBehind = 0;  // folders listed and left, not yet removed
  bool RootDone = false;

  // The producer's last look at the time the processors spent.
  TIMES LastLook{};

  // Set under the lock, read without it where room in the output is made.
  std::atomic<AWAITED> Awaited{AWAITED::Nothing};
  // Shared without the lock.
  std::atomic<uint64_t> DeletedFiles{0};
  std::atomic<uint64_t> DeletedBytes{0};
};
