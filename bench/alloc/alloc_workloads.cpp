// Allocator workloads, each a fixed, seeded program that uses only the C
// library's malloc family and operator new, so that LD_PRELOAD decides which
// allocator serves it. Run as: alloc_workloads <workload>; prints a checksum
// so that every allocator is seen to do the same work.
//
//   churn        one thread, small objects (8 to 512 bytes) freed and
//                allocated again at random in a ring of 20,000
//   server       4 threads serving requests: each builds a request's objects,
//                answers with a reply that another thread frees
//   producer     one thread allocates, another frees, through a bounded queue
//   falseshare   threads given neighbouring objects, then each allocating,
//                writing and freeing small objects of its own in a loop
//   mixed        2 threads, sizes 8 B to 256 KiB (log-uniform) with realloc
//   randomfree   a million blocks of 256 bytes, freed in random order
//   setclear     a std::set of a million strings of 24 characters, cleared
//   grow         a block grown by realloc in 4 KiB steps to 64 MiB, 4 times
//   trim         1 GiB of 256-byte blocks freed, then malloc_trim(0); writes
//                "kept-kib N" to standard error: what stays resident beyond
//                what the program had before it allocated
#include <malloc.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

uint64_t Touch(void *Block, size_t Bytes, uint64_t Value) {
  auto *Byte = static_cast<unsigned char *>(Block);
  if (Bytes == 0)
    return Value;
  Byte[0] = static_cast<unsigned char>(Value);
  Byte[Bytes - 1] = static_cast<unsigned char>(Value >> 8);
  for (size_t At = 4096; At < Bytes; At += 4096)
    Byte[At] = static_cast<unsigned char>(Value);
  return Value * 31 + Bytes + Byte[0] + Byte[Bytes - 1];
}

// Small sizes, most of them tiny, as in programs made of many small objects.
size_t SmallSize(std::mt19937_64 &Random) {
  const uint64_t Draw = Random();
  const uint64_t Band = Draw % 100;
  const uint64_t More = Draw >> 8;
  return Band < 60 ? 8 + More % 56 : Band < 90 ? 64 + More % 192 : 256 + More % 256;
}

uint64_t Churn() {
  std::mt19937_64 Random(1);
  std::vector<void *> Ring(20000, nullptr);
  std::vector<size_t> Sizes(Ring.size(), 0);
  uint64_t Sum = 0;
  for (int Step = 0; Step < 25000000; ++Step) {
    const size_t Slot = Random() % Ring.size();
    if (Ring[Slot] != nullptr)
      Sum += static_cast<unsigned char *>(Ring[Slot])[0];
    free(Ring[Slot]);
    Sizes[Slot] = SmallSize(Random);
    Ring[Slot] = malloc(Sizes[Slot]);
    Sum = Touch(Ring[Slot], Sizes[Slot], Sum);
  }
  for (void *Block : Ring)
    free(Block);
  return Sum;
}

// A mailbox per thread: replies to free, guarded by a mutex.
struct MAILBOX {
  std::mutex Mutex;
  std::vector<std::vector<std::string> *> Replies;
};

uint64_t Server() {
  constexpr int Threads = 4;
  constexpr int Requests = 150000;
  std::vector<MAILBOX> Boxes(Threads);
  std::atomic<uint64_t> Total{0};
  std::vector<std::thread> Workers;
  for (int Thread = 0; Thread < Threads; ++Thread)
    Workers.emplace_back([&, Thread] {
      std::mt19937_64 Random(static_cast<uint64_t>(Thread) + 10);
      uint64_t Sum = 0;
      std::vector<std::vector<std::string> *> Mine;
      for (int Request = 0; Request < Requests; ++Request) {
        // Parse: headers and a body, freed when the request is done.
        std::vector<std::string> Headers;
        const int HeaderCount = 4 + static_cast<int>(Random() % 12);
        for (int Header = 0; Header < HeaderCount; ++Header)
          Headers.emplace_back(20 + Random() % 60, static_cast<char>('a' + Header));
        std::vector<char> Body(Random() % 4 == 0 ? 200 + Random() % 3000 : 32);
        Sum += Body.size() + Headers.size();
        // Reply: built here, freed by the thread that sends it.
        auto *Reply = new std::vector<std::string>;
        const int Parts = 1 + static_cast<int>(Random() % 6);
        for (int Part = 0; Part < Parts; ++Part)
          Reply->emplace_back(30 + Random() % 500, 'r');
        MAILBOX &Box = Boxes[(Thread + 1 + Random() % (Threads - 1)) % Threads];
        {
          std::lock_guard<std::mutex> Guard(Box.Mutex);
          Box.Replies.push_back(Reply);
        }
        if (Request % 16 == 0) {
          std::lock_guard<std::mutex> Guard(Boxes[Thread].Mutex);
          Mine.swap(Boxes[Thread].Replies);
        }
        for (auto *Sent : Mine) {
          Sum += Sent->size();
          delete Sent;
        }
        Mine.clear();
      }
      Total += Sum;
    });
  for (std::thread &Worker : Workers)
    Worker.join();
  // Replies still in a mailbox count as well, so that the sum does not
  // depend on how the threads were scheduled.
  for (MAILBOX &Box : Boxes)
    for (auto *Left : Box.Replies) {
      Total += Left->size();
      delete Left;
    }
  return Total;
}

uint64_t Producer() {
  constexpr size_t Capacity = 4096;
  constexpr int Items = 8000000;
  std::vector<std::atomic<void *>> Queue(Capacity);
  for (auto &Slot : Queue)
    Slot.store(nullptr);
  std::atomic<uint64_t> Sum{0};
  std::thread Consumer([&] {
    uint64_t Local = 0;
    for (int Item = 0; Item < Items; ++Item) {
      std::atomic<void *> &Slot = Queue[static_cast<size_t>(Item) % Capacity];
      void *Block = nullptr;
      while ((Block = Slot.load(std::memory_order_acquire)) == nullptr)
        std::this_thread::yield();
      Slot.store(nullptr, std::memory_order_release);
      Local += static_cast<unsigned char *>(Block)[0];
      free(Block);
    }
    Sum += Local;
  });
  std::mt19937_64 Random(3);
  for (int Item = 0; Item < Items; ++Item) {
    const size_t Bytes = SmallSize(Random);
    void *Block = malloc(Bytes);
    Touch(Block, Bytes, static_cast<uint64_t>(Item));
    std::atomic<void *> &Slot = Queue[static_cast<size_t>(Item) % Capacity];
    while (Slot.load(std::memory_order_acquire) != nullptr)
      std::this_thread::yield();
    Slot.store(Block, std::memory_order_release);
  }
  Consumer.join();
  return Sum;
}

uint64_t FalseShare() {
  constexpr int Threads = 2;
  constexpr int Rounds = 4000000;
  constexpr int Writes = 50;
  std::vector<char *> Given;
  for (int Thread = 0; Thread < Threads; ++Thread)
    Given.push_back(static_cast<char *>(malloc(8)));
  std::atomic<uint64_t> Sum{0};
  std::vector<std::thread> Workers;
  for (int Thread = 0; Thread < Threads; ++Thread)
    Workers.emplace_back([&, Thread] {
      free(Given[static_cast<size_t>(Thread)]);
      uint64_t Local = 0;
      for (int Round = 0; Round < Rounds; ++Round) {
        auto *Object = static_cast<volatile char *>(malloc(8));
        for (int Byte = 0; Byte < 8; ++Byte)
          Object[Byte] = static_cast<char>(Byte);
        for (int Write = 0; Write < Writes; ++Write)
          Object[Write % 8] = static_cast<char>(Object[(Write + 1) % 8] + 1);
        Local += static_cast<unsigned char>(Object[0]);
        free(const_cast<char *>(Object));
      }
      Sum += Local;
    });
  for (std::thread &Worker : Workers)
    Worker.join();
  return Sum;
}

// Log-uniform from 8 bytes to 256 KiB.
size_t MixedSize(std::mt19937_64 &Random) {
  const uint64_t Shift = 3 + Random() % 16;
  const uint64_t Base = uint64_t{1} << Shift;
  return static_cast<size_t>(Base + Random() % Base);
}

uint64_t Mixed() {
  constexpr int Threads = 2;
  std::atomic<uint64_t> Total{0};
  std::vector<std::thread> Workers;
  for (int Thread = 0; Thread < Threads; ++Thread)
    Workers.emplace_back([&, Thread] {
      std::mt19937_64 Random(static_cast<uint64_t>(Thread) + 100);
      std::vector<void *> Ring(1000, nullptr);
      std::vector<size_t> Sizes(Ring.size(), 0);
      uint64_t Sum = 0;
      for (int Step = 0; Step < 1500000; ++Step) {
        const size_t Slot = Random() % Ring.size();
        const uint64_t Choice = Random() % 10;
        const size_t Bytes = MixedSize(Random) / 2;
        if (Choice < 6 || Ring[Slot] == nullptr) {
          free(Ring[Slot]);
          Ring[Slot] = malloc(Bytes);
        } else if (Choice < 9) {
          // Grow or shrink what is there, by up to half again.
          const size_t Now = Sizes[Slot];
          const size_t Next = Random() % 2 == 0 ? Now + Now / 2 + 1 : Now / 2 + 1;
          Ring[Slot] = realloc(Ring[Slot], Next);
          Sizes[Slot] = Next;
          Sum = Touch(Ring[Slot], Next, Sum);
          continue;
        } else {
          free(Ring[Slot]);
          Ring[Slot] = nullptr;
          Sizes[Slot] = 0;
          continue;
        }
        Sizes[Slot] = Bytes;
        Sum = Touch(Ring[Slot], Bytes, Sum);
      }
      for (void *Block : Ring)
        free(Block);
      Total += Sum;
    });
  for (std::thread &Worker : Workers)
    Worker.join();
  return Total;
}

uint64_t RandomFree() {
  std::vector<void *> Blocks(1000000);
  uint64_t Sum = 0;
  for (void *&Block : Blocks)
    Sum = Touch(Block = malloc(256), 256, Sum);
  std::shuffle(Blocks.begin(), Blocks.end(), std::mt19937_64(5));
  for (void *Block : Blocks) {
    Sum += static_cast<unsigned char *>(Block)[255];
    free(Block);
  }
  return Sum;
}

uint64_t SetClear() {
  std::set<std::string> Keys;
  std::mt19937_64 Random(6);
  char Key[32];
  while (Keys.size() < 1000000) {
    std::snprintf(Key, sizeof Key, "key-%020llu", static_cast<unsigned long long>(Random() % 100000000000ull));
    Keys.emplace(Key);
  }
  const uint64_t Sum = Keys.size() + Keys.begin()->size();
  Keys.clear();
  return Sum;
}

uint64_t Grow() {
  uint64_t Sum = 0;
  for (int Round = 0; Round < 4; ++Round) {
    size_t Bytes = 4096;
    auto *Block = static_cast<unsigned char *>(malloc(Bytes));
    Block[0] = 1;
    while (Bytes < (size_t{64} << 20)) {
      Block = static_cast<unsigned char *>(realloc(Block, Bytes + 4096));
      Block[Bytes] = static_cast<unsigned char>(Bytes >> 12);
      Bytes += 4096;
    }
    for (size_t At = 0; At < Bytes; At += 4096)
      Sum += Block[At];
    free(Block);
  }
  return Sum;
}

long ResidentKib() {
  long Pages = 0, Resident = 0;
  if (FILE *Statm = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(Statm, "%ld %ld", &Pages, &Resident) != 2)
      Resident = 0;
    std::fclose(Statm);
  }
  return Resident * 4;
}

// The array of pointers is mapped here, not allocated, so that what the
// allocator keeps is all that differs between before and after.
uint64_t Trim() {
  constexpr size_t Count = (size_t{1} << 30) / 256;
  auto *Blocks = static_cast<void **>(
      mmap(nullptr, Count * sizeof(void *), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  if (Blocks == MAP_FAILED)
    return 0;
  const long Before = ResidentKib();
  uint64_t Sum = 0;
  for (size_t Index = 0; Index < Count; ++Index)
    Sum = Touch(Blocks[Index] = malloc(256), 256, Sum);
  for (size_t Index = 0; Index < Count; ++Index)
    free(Blocks[Index]);
  munmap(Blocks, Count * sizeof(void *));
  malloc_trim(0);
  std::fprintf(stderr, "kept-kib %ld\n", ResidentKib() - Before);
  return Sum;
}

}  // namespace

int main(int Count, char **Arguments) {
  const std::string Name = Count > 1 ? Arguments[1] : "";
  uint64_t Sum = 0;
  if (Name == "churn")
    Sum = Churn();
  else if (Name == "server")
    Sum = Server();
  else if (Name == "producer")
    Sum = Producer();
  else if (Name == "falseshare")
    Sum = FalseShare();
  else if (Name == "mixed")
    Sum = Mixed();
  else if (Name == "randomfree")
    Sum = RandomFree();
  else if (Name == "setclear")
    Sum = SetClear();
  else if (Name == "grow")
    Sum = Grow();
  else if (Name == "trim")
    Sum = Trim();
  else {
    std::fprintf(stderr, "usage: alloc_workloads churn|server|producer|falseshare|mixed|randomfree|setclear|grow|trim\n");
    return 2;
  }
  std::printf("%s %llu\n", Name.c_str(), static_cast<unsigned long long>(Sum));
  return 0;
}
