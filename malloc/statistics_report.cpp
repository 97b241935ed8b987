#include "malloc/statistics_report.h"

#include "malloc/address_map.h"
#include "malloc/allocator.h"
#include "malloc/krax_malloc.h"

namespace dropin {

namespace {

constexpr int32_t LeakAddresses = 4;  // listed for each class

// The header and rows of the statistics table share these widths.
constexpr int32_t LabelWidth = 7, BlockWidth = 7, CountWidth = 11, BytesWidth = 14;

// A row's label and block size; blocks above the classes have any size.
TEXT_LINE &Head(TEXT_LINE &Line, const char *Label, uint64_t Block) {
  Line.Text(Label);
  return Block == 0 ? Line.Text("      -") : Line.Number(Block, BlockWidth);
}

TEXT_LINE &Row(TEXT_LINE &Line, const char *Label, uint64_t Block, uint64_t Live, uint64_t LiveBytes, uint64_t Peak,
               uint64_t PeakBytes, uint64_t Allocated, uint64_t Freed) {
  return Head(Line, Label, Block)
      .Number(Live, CountWidth)
      .Number(LiveBytes, BytesWidth)
      .Number(Peak, CountWidth)
      .Number(PeakBytes, BytesWidth)
      .Number(Allocated, CountWidth)
      .Number(Freed, CountWidth);
}

void BlockRow(TEXT_SINK Sink, const char *Label, const krax_block_stats &Blocks) {
  if (Blocks.allocated == 0)
    return;
  TEXT_LINE Line;
  Row(Line, Label, 0, Blocks.live, Blocks.live_bytes, Blocks.peak, Blocks.peak_bytes, Blocks.allocated, Blocks.freed)
      .Send(Sink);
}

// The leaks report's tally of one class or kind.
struct LEAKS {
  uint64_t Blocks;
  uint64_t Bytes;
  const void *First[LeakAddresses];
};

void Tally(LEAKS &Leaks, const void *Address, uint64_t Bytes) {
  if (Leaks.Blocks < LeakAddresses)
    Leaks.First[Leaks.Blocks] = Address;
  ++Leaks.Blocks;
  Leaks.Bytes += Bytes;
}

void LeakRow(TEXT_SINK Sink, const char *Label, uint64_t Block, const LEAKS &Leaks) {
  if (Leaks.Blocks == 0)
    return;
  TEXT_LINE Line;
  Head(Line, Label, Block).Number(Leaks.Blocks, CountWidth).Number(Leaks.Bytes, BytesWidth).Text(" ");
  for (uint64_t Index = 0; Index < Leaks.Blocks && Index < LeakAddresses; ++Index)
    Line.Text(" ").Address(Leaks.First[Index]);
  if (Leaks.Blocks > LeakAddresses)
    Line.Text(" ...");
  Line.Send(Sink);
}

// Class labels are the class's number from 1, right-aligned like the kinds.
const char *ClassLabel(char (&Label)[LabelWidth + 1], int32_t Class) {
  int32_t At = LabelWidth;
  Label[At] = '\0';
  for (uint32_t Value = static_cast<uint32_t>(Class) + 1; At > 0 && (Value != 0 || At == LabelWidth); Value /= 10)
    Label[--At] = static_cast<char>('0' + Value % 10);
  while (At > 0)
    Label[--At] = ' ';
  return Label;
}

// A report's title and the heads of its columns, the first four shared.
void Heading(TEXT_LINE &Line, TEXT_SINK Sink, const char *Title, const char *MoreColumns) {
  Line.Text("krax_malloc: ").Text(Title).Send(Sink);
  Line.Text("  class  block       live    live bytes").Text(MoreColumns).Send(Sink);
}

const char *KindText(REFUSAL_KIND Kind) {
  switch (Kind) {
    case REFUSAL_KIND::Double:
      return "the block is free already";
    case REFUSAL_KIND::Interior:
      return "not the start of a block";
    case REFUSAL_KIND::Foreign:
      break;
  }
  return "not a block of this allocator";
}

}  // namespace

TEXT_LINE &TEXT_LINE::Text(const char *Words) {
  while (*Words != '\0' && Length < Capacity)
    Buffer[Length++] = *Words++;
  return *this;
}

TEXT_LINE &TEXT_LINE::Number(uint64_t Value, int32_t Width) {
  char Digits[20];
  int32_t Count = 0;
  do {
    Digits[Count++] = static_cast<char>('0' + Value % 10);
    Value /= 10;
  } while (Value != 0);
  for (int32_t Pad = Width - Count; Pad > 0 && Length < Capacity; --Pad)
    Buffer[Length++] = ' ';
  while (Count > 0 && Length < Capacity)
    Buffer[Length++] = Digits[--Count];
  return *this;
}

TEXT_LINE &TEXT_LINE::Address(const void *Address) {
  uint64_t Value = reinterpret_cast<uint64_t>(Address);
  char Digits[16];
  int32_t Count = 0;
  do {
    Digits[Count++] = "0123456789abcdef"[Value & 15];
    Value >>= 4;
  } while (Value != 0);
  Text("0x");
  while (Count > 0 && Length < Capacity)
    Buffer[Length++] = Digits[--Count];
  return *this;
}

void TEXT_LINE::Send(TEXT_SINK Sink) {
  Buffer[Length++] = '\n';
  Sink(Buffer, static_cast<size_t>(Length));
  Length = 0;
}

void WriteStatistics(TEXT_SINK Sink) {
  krax_statistics Statistics;
  STATISTICS::Read(Statistics);
  TEXT_LINE Line;
  Heading(Line, Sink, "statistics", "      peak    peak bytes  allocated      freed");
  char Label[LabelWidth + 1];
  for (uint32_t Class = 0; Class < Statistics.class_count; ++Class) {
    const krax_class_stats &Counts = Statistics.classes[Class];
    if (Counts.allocated != 0)
      Row(Line, ClassLabel(Label, static_cast<int32_t>(Class)), Counts.size, Counts.live, Counts.live * Counts.size,
          Counts.peak, Counts.peak * Counts.size, Counts.allocated, Counts.freed)
          .Send(Sink);
  }
  BlockRow(Sink, "  spans", Statistics.spans);
  BlockRow(Sink, "  large", Statistics.large);
  BlockRow(Sink, "aligned", Statistics.aligned);
  Line.Text("bootstrap: ").Number(Statistics.bootstrap_blocks).Text(" blocks, ");
  Line.Number(Statistics.bootstrap_bytes).Text(" bytes, never freed").Send(Sink);
  Line.Text("live: ").Number(Statistics.live_bytes).Text(" bytes").Send(Sink);
  Line.Text("system: ").Number(Statistics.system_taken).Text(" bytes taken, ");
  Line.Number(Statistics.system_returned).Text(" given back, ");
  Line.Number(Statistics.system_taken - Statistics.system_returned).Text(" held, ");
  Line.Number(Statistics.system_peak).Text(" held at most").Send(Sink);
  Line.Text("refused: double ").Number(Statistics.refused_double).Text(", interior ");
  Line.Number(Statistics.refused_interior).Text(", foreign ").Number(Statistics.refused_foreign).Send(Sink);
}

void WriteLeaks(TEXT_SINK Sink) {
  LEAKS Classes[ClassCount] = {};
  LEAKS Spans = {}, Large = {};
  void *Address = nullptr;
  size_t Size = 0;
  bool InUse = false;
  while (Walk(&Address, &Size, &InUse)) {
    if (!InUse)
      continue;
    const uint8_t Mark = ADDRESS_MAP::Read(Address);
    const uint32_t Class = Mark - 1u;
    if (Class < static_cast<uint32_t>(ClassCount))
      Tally(Classes[Class], Address, Size);
    else if (Mark == ADDRESS_MAP::LargeMark)
      Tally(Large, Address, Size);
    else if (Mark == ADDRESS_MAP::SpanMark)
      Tally(Spans, Address, Size);
  }
  krax_statistics Statistics;
  STATISTICS::Read(Statistics);
  TEXT_LINE Line;
  Heading(Line, Sink, "live blocks", "  first addresses");
  char Label[LabelWidth + 1];
  uint64_t Blocks = Spans.Blocks + Large.Blocks + Statistics.aligned.live;
  uint64_t Bytes = Spans.Bytes + Large.Bytes + Statistics.aligned.live_bytes;
  for (int32_t Class = 0; Class < ClassCount; ++Class) {
    LeakRow(Sink, ClassLabel(Label, Class), static_cast<uint64_t>(ClassBytes[Class]), Classes[Class]);
    Blocks += Classes[Class].Blocks;
    Bytes += Classes[Class].Bytes;
  }
  LeakRow(Sink, "  spans", 0, Spans);
  LeakRow(Sink, "  large", 0, Large);
  if (Statistics.aligned.live != 0) {
    Head(Line, "aligned", 0).Number(Statistics.aligned.live, CountWidth);
    Line.Number(Statistics.aligned.live_bytes, BytesWidth).Text("  (not walked)").Send(Sink);
  }
  Line.Text("live: ").Number(Blocks).Text(" blocks, ").Number(Bytes).Text(" bytes").Send(Sink);
}

void WriteRefusal(TEXT_SINK Sink, REFUSAL_KIND Kind, const void *Address, const char *Operation) {
  TEXT_LINE Line;
  Line.Text("krax_malloc: ").Text(Operation).Text("(").Address(Address).Text(") refused: ").Text(KindText(Kind));
  Line.Send(Sink);
}

void WriteMallocStats(TEXT_SINK Sink) {
  GLIBC_VIEW View;
  ReadGlibcView(View);
  TEXT_LINE Line;
  Line.Text("Arena 0:").Send(Sink);
  Line.Text("system bytes     = ").Number(View.Arena, 10).Send(Sink);
  Line.Text("in use bytes     = ").Number(View.InUse, 10).Send(Sink);
  Line.Text("Total (incl. mmap):").Send(Sink);
  Line.Text("system bytes     = ").Number(View.Held, 10).Send(Sink);
  Line.Text("in use bytes     = ").Number(View.InUse + View.Mapped, 10).Send(Sink);
  Line.Text("max mmap regions = ").Number(View.MaxMappedBlocks, 10).Send(Sink);
  Line.Text("max mmap bytes   = ").Number(View.MaxMappedBytes, 10).Send(Sink);
}

void ReadGlibcView(GLIBC_VIEW &View) {
  krax_statistics Statistics;
  STATISTICS::Read(Statistics);
  View.Held = Statistics.system_taken - Statistics.system_returned;
  View.PeakHeld = Statistics.system_peak;
  View.MappedBlocks = Statistics.large.live + Statistics.aligned.live;
  View.Mapped = Statistics.large.live_bytes + Statistics.aligned.live_bytes;
  View.MaxMappedBlocks = Statistics.large.peak + Statistics.aligned.peak;
  View.MaxMappedBytes = Statistics.large.peak_bytes + Statistics.aligned.peak_bytes;
  View.Arena = View.Held > View.Mapped ? View.Held - View.Mapped : 0;
  View.InUse = Statistics.live_bytes - View.Mapped;
  View.Free = View.Arena > View.InUse ? View.Arena - View.InUse : 0;
}

}  // namespace dropin
