// The ordered output on its own: slots print in the order they were reserved
// whatever order they are written in, a message prints as soon as every
// earlier one is known, room is bounded and comes back only by printing, and
// nothing is ever written past a slot's room.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tool/ordered_output.h"

namespace {

using PATH_STRING = std::basic_string<PATH_CHAR>;

// What the printer printed, one line per message: "template|path|name".
// Only the thread holding the printer calls it.
std::string Printed;

void Record(const char *Template, const PATH_CHAR *Path, const PATH_CHAR *Name) {
  Printed += Template;
  Printed += '|';
  for (const PATH_CHAR *Character = Path; *Character != 0; ++Character)
    Printed += static_cast<char>(*Character);
  if (Name != nullptr) {
    Printed += '|';
    for (const PATH_CHAR *Character = Name; *Character != 0; ++Character)
      Printed += static_cast<char>(*Character);
  }
  Printed += '\n';
}

PATH_STRING Native(const std::string &Ascii) { return PATH_STRING(Ascii.begin(), Ascii.end()); }

std::string Line(const char *Template, const std::string &Path) { return std::string(Template) + "|" + Path + "\n"; }

class OrderedOutputTest : public testing::Test {
protected:
  void SetUp() override { Printed.clear(); }

  // Reserves a slot for one message about Path.
  ORDERED_OUTPUT::SLOT_NUMBER ReserveFor(ORDERED_OUTPUT &Output, const std::string &Path) {
    ORDERED_OUTPUT::SLOT_NUMBER Slot = 0;
    EXPECT_TRUE(Output.Reserve(ORDERED_OUTPUT::MessageBytes(Path.size()), Slot));
    return Slot;
  }

  void WriteAndComplete(ORDERED_OUTPUT &Output, ORDERED_OUTPUT::SLOT_NUMBER Slot, const char *Template,
                        const std::string &Path) {
    EXPECT_TRUE(Output.Write(Slot, Template, Native(Path).c_str()));
    Output.Complete(Slot);
  }
};

constexpr char A[] = "A '%s'\n";
constexpr char B[] = "B '%s'\n";

}  // namespace

TEST_F(OrderedOutputTest, SlotsPrintInTheOrderTheyWereReservedWhateverOrderTheyComplete) {
  // Each row: the order in which three reserved slots are completed, and what
  // must have been printed after each completion.
  const struct {
    int Order[3];
    const char *After[3];
  } Rows[] = {
      {{0, 1, 2}, {"0", "01", "012"}},
      {{2, 1, 0}, {"", "", "012"}},
      {{1, 0, 2}, {"", "01", "012"}},
      {{0, 2, 1}, {"0", "0", "012"}},
  };
  for (const auto &Row : Rows) {
    Printed.clear();
    ORDERED_OUTPUT Output(8, 4096, Record);
    ASSERT_TRUE(Output.Usable());
    ORDERED_OUTPUT::SLOT_NUMBER Slots[3];
    for (int Index = 0; Index < 3; ++Index)
      Slots[Index] = ReserveFor(Output, std::to_string(Index));
    for (int Step = 0; Step < 3; ++Step) {
      WriteAndComplete(Output, Slots[Row.Order[Step]], A, std::to_string(Row.Order[Step]));
      Output.Publish();
      std::string Expected;
      for (const char *Digit = Row.After[Step]; *Digit != 0; ++Digit)
        Expected += Line(A, std::string(1, *Digit));
      EXPECT_EQ(Printed, Expected) << "order " << Row.Order[0] << Row.Order[1] << Row.Order[2] << ", step " << Step;
    }
    EXPECT_TRUE(Output.Drained());
  }
}

TEST_F(OrderedOutputTest, MessagesOfTheFirstSlotPrintBeforeItIsComplete) {
  ORDERED_OUTPUT Output(8, 4096, Record);
  ORDERED_OUTPUT::SLOT_NUMBER First = 0, Second = 0;
  ASSERT_TRUE(Output.Reserve(3 * ORDERED_OUTPUT::MessageBytes(10), First));
  ASSERT_TRUE(Output.Reserve(ORDERED_OUTPUT::MessageBytes(10), Second));
  WriteAndComplete(Output, Second, B, "second");
  ASSERT_TRUE(Output.Write(First, A, Native("first-1").c_str()));
  Output.Publish();
  // Every line before it is known, so it is out; the second slot's line waits.
  EXPECT_EQ(Printed, Line(A, "first-1"));
  ASSERT_TRUE(Output.Write(First, A, Native("first-2").c_str(), Native("name").c_str()));
  Output.Publish();
  EXPECT_EQ(Printed, Line(A, "first-1") + std::string(A) + "|first-2|name\n");
  EXPECT_FALSE(Output.Drained());
  Output.Complete(First);
  Output.Publish();
  EXPECT_EQ(Printed, Line(A, "first-1") + std::string(A) + "|first-2|name\n" + Line(B, "second"));
  EXPECT_TRUE(Output.Drained());
}

TEST_F(OrderedOutputTest, WritesNeverGoPastTheRoomReserved) {
  ORDERED_OUTPUT Output(4, 4096, Record);
  ORDERED_OUTPUT::SLOT_NUMBER Slot = 0;
  ASSERT_TRUE(Output.Reserve(ORDERED_OUTPUT::MessageBytes(5), Slot));
  EXPECT_FALSE(Output.Write(Slot, A, Native("longer than five").c_str()));
  EXPECT_TRUE(Output.Write(Slot, A, Native("five!").c_str()));
  EXPECT_FALSE(Output.Write(Slot, A, Native("x").c_str()));  // the room is used up
  Output.Complete(Slot);
  Output.PrintComplete();
  EXPECT_EQ(Printed, Line(A, "five!"));
}

TEST_F(OrderedOutputTest, RoomIsBoundedAndComesBackByPrinting) {
  // Room for two messages of this size in bytes, but four slot records.
  const uint32_t Bytes = ORDERED_OUTPUT::MessageBytes(100);
  ORDERED_OUTPUT Output(4, 2 * Bytes + Bytes / 2, Record);
  ORDERED_OUTPUT::SLOT_NUMBER First = 0, Second = 0, Third = 0;
  ASSERT_TRUE(Output.Reserve(Bytes, First));
  ASSERT_TRUE(Output.Reserve(Bytes, Second));
  EXPECT_FALSE(Output.HasRoom(Bytes));
  EXPECT_FALSE(Output.Reserve(Bytes, Third));
  // Complete but not printed: still no room.
  WriteAndComplete(Output, Second, A, std::string(100, 's'));
  EXPECT_FALSE(Output.HasRoom(Bytes));
  WriteAndComplete(Output, First, A, std::string(100, 'f'));
  EXPECT_TRUE(Output.Publish());
  // The next room would straddle the ring's end: it starts at the beginning.
  ASSERT_TRUE(Output.Reserve(Bytes, Third));
  WriteAndComplete(Output, Third, A, std::string(100, 't'));
  Output.Publish();
  EXPECT_EQ(Printed, Line(A, std::string(100, 'f')) + Line(A, std::string(100, 's')) + Line(A, std::string(100, 't')));
  // No room is larger than the ring, and slot records run out too.
  EXPECT_FALSE(Output.HasRoom(3 * Bytes));
  ORDERED_OUTPUT Small(2, 4096, Record);
  ORDERED_OUTPUT::SLOT_NUMBER Slot = 0;
  EXPECT_TRUE(Small.Reserve(8, Slot));
  EXPECT_TRUE(Small.Reserve(8, Slot));
  EXPECT_FALSE(Small.Reserve(8, Slot));
}

TEST_F(OrderedOutputTest, ThreadsCompletingSlotsInAnyOrderPrintTheReservedOrder) {
  // The model: messages numbered in reservation order. Writers take slots in
  // a shuffled order, write one to three messages each, and publish; the
  // printed text must be the numbered sequence, whatever the interleaving.
  constexpr int Rounds = 20;
  constexpr int SlotsPerRound = 200;
  constexpr int Writers = 4;
  std::mt19937 Random(1109);
  for (int Round = 0; Round < Rounds; ++Round) {
    Printed.clear();
    // Small enough that the reserving thread has to wait for printing.
    ORDERED_OUTPUT Output(32, 4096, Record);
    std::vector<int> Messages(SlotsPerRound);
    for (int &Count : Messages)
      Count = 1 + static_cast<int>(Random() % 3);
    std::vector<ORDERED_OUTPUT::SLOT_NUMBER> Slots(SlotsPerRound);
    std::vector<std::atomic<bool>> Reserved(SlotsPerRound);
    std::vector<int> Order(SlotsPerRound);
    std::iota(Order.begin(), Order.end(), 0);
    // Shuffled within windows no wider than the ring, so that each slot is
    // reserved before its writer needs it.
    for (int Start = 0; Start < SlotsPerRound; Start += 16)
      std::shuffle(Order.begin() + Start, Order.begin() + std::min(Start + 16, SlotsPerRound), Random);
    std::atomic<int> NextTaken{0};
    std::vector<std::thread> Threads;
    for (int Writer = 0; Writer < Writers; ++Writer)
      Threads.emplace_back([&] {
        for (int Taken = NextTaken.fetch_add(1); Taken < SlotsPerRound; Taken = NextTaken.fetch_add(1)) {
          const int Index = Order[Taken];
          while (!Reserved[Index].load())
            std::this_thread::yield();
          for (int Message = 0; Message < Messages[Index]; ++Message)
            EXPECT_TRUE(Output.Write(Slots[Index], A, Native(std::to_string(Index) + "." + std::to_string(Message)).c_str()));
          Output.Complete(Slots[Index]);
          Output.Publish();
        }
      });
    for (int Index = 0; Index < SlotsPerRound; ++Index) {
      const uint32_t Bytes = Messages[Index] * ORDERED_OUTPUT::MessageBytes(12);
      while (!Output.Reserve(Bytes, Slots[Index])) {
        Output.Publish();
        std::this_thread::yield();
      }
      Reserved[Index].store(true);
    }
    for (std::thread &Thread : Threads)
      Thread.join();
    Output.PrintComplete();
    std::string Expected;
    for (int Index = 0; Index < SlotsPerRound; ++Index)
      for (int Message = 0; Message < Messages[Index]; ++Message)
        Expected += Line(A, std::to_string(Index) + "." + std::to_string(Message));
    ASSERT_EQ(Printed, Expected) << "round " << Round;
    EXPECT_TRUE(Output.Drained());
  }
}
