// The C library's inquiry calls, answered from the drop-in allocator's own
// counts (field by field as README "Reading the report" says), and the report
// that KRAX_MALLOC_REPORT asks for at exit.
#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>

#include "malloc/krax_malloc.h"
#include "malloc/statistics.h"
#include "malloc/statistics_report.h"

namespace {

// Lines of KRAX_MALLOC_REPORT=errors written as pointers are refused; the
// rest are only counted.
constexpr uint64_t ShownRefusals = 100;

constinit bool ReportStatistics = false;
constinit bool ReportLeaks = false;
constinit std::atomic<uint64_t> RefusalsSeen{0};

// Standard error's descriptor, written directly: stdio may allocate.
void ToStandardError(const char *Text, size_t Length) {
  while (Length > 0) {
    const ssize_t Written = write(STDERR_FILENO, Text, Length);
    if (Written < 0 && errno == EINTR)
      continue;
    if (Written <= 0)
      return;
    Text += Written;
    Length -= static_cast<size_t>(Written);
  }
}

void ShowRefusal(dropin::REFUSAL_KIND Kind, const void *Address, const char *Operation) {
  const int Saved = errno;
  if (RefusalsSeen.fetch_add(1, std::memory_order_relaxed) < ShownRefusals)
    dropin::WriteRefusal(ToStandardError, Kind, Address, Operation);
  errno = Saved;
}

void ReportAtExit() {
  const int Saved = errno;
  const uint64_t Seen = RefusalsSeen.load(std::memory_order_relaxed);
  if (Seen > ShownRefusals) {
    dropin::TEXT_LINE Line;
    Line.Text("krax_malloc: ").Number(Seen).Text(" pointers refused, the first ").Number(ShownRefusals);
    Line.Text(" shown").Send(ToStandardError);
  }
  if (ReportStatistics)
    dropin::WriteStatistics(ToStandardError);
  if (ReportLeaks)
    dropin::WriteLeaks(ToStandardError);
  errno = Saved;
}

bool IsWord(const char *Start, size_t Length, const char *Word) {
  return Length == std::strlen(Word) && std::strncmp(Start, Word, Length) == 0;
}

// KRAX_MALLOC_REPORT: stats, leaks and errors, separated by commas. Read
// once as the library is loaded; unset, nothing is registered at all.
__attribute__((constructor)) void ReadReportSetting() {
  const char *Setting = getenv("KRAX_MALLOC_REPORT");
  if (Setting == nullptr || *Setting == '\0')
    return;
  bool Errors = false;
  for (const char *Start = Setting; *Start != '\0';) {
    const char *End = std::strchr(Start, ',');
    const size_t Length = End != nullptr ? static_cast<size_t>(End - Start) : std::strlen(Start);
    if (IsWord(Start, Length, "stats")) {
      ReportStatistics = true;
    } else if (IsWord(Start, Length, "leaks")) {
      ReportLeaks = true;
    } else if (IsWord(Start, Length, "errors")) {
      Errors = true;
    } else if (Length > 0) {
      dropin::TEXT_LINE Line;
      Line.Text("krax_malloc: KRAX_MALLOC_REPORT has no setting '");
      char Word[64] = {};
      std::memcpy(Word, Start, Length < sizeof Word - 1 ? Length : sizeof Word - 1);
      Line.Text(Word).Text("' (stats, leaks, errors)").Send(ToStandardError);
    }
    Start += Length;
    if (*Start == ',')
      ++Start;
  }
  if (Errors)
    dropin::STATISTICS::Watch(ShowRefusal);
  if (ReportStatistics || ReportLeaks || Errors)
    atexit(ReportAtExit);
}

int Clamped(uint64_t Value) { return Value > INT_MAX ? INT_MAX : static_cast<int>(Value); }

}  // namespace

extern "C" {

struct mallinfo2 mallinfo2(void) noexcept {
  dropin::GLIBC_VIEW View;
  dropin::ReadGlibcView(View);
  struct mallinfo2 Information = {};
  Information.arena = View.Arena;
  Information.hblks = View.MappedBlocks;
  Information.hblkhd = View.Mapped;
  Information.uordblks = View.InUse;
  Information.fordblks = View.Free;
  return Information;
}

// The older form: the same fields, each held to what an int can show.
struct mallinfo mallinfo(void) noexcept {
  const struct mallinfo2 Wide = mallinfo2();
  struct mallinfo Information = {};
  Information.arena = Clamped(Wide.arena);
  Information.hblks = Clamped(Wide.hblks);
  Information.hblkhd = Clamped(Wide.hblkhd);
  Information.uordblks = Clamped(Wide.uordblks);
  Information.fordblks = Clamped(Wide.fordblks);
  return Information;
}

void malloc_stats(void) noexcept { dropin::WriteMallocStats(ToStandardError); }

// The C library's element names: one heap, whose sizes are the classes in
// use with their live blocks, and the mapped blocks.
int malloc_info(int options, FILE *stream) noexcept {
  if (options != 0) {
    errno = EINVAL;
    return -1;
  }
  if (stream == nullptr)
    return 0;
  krax_statistics Statistics;
  krax_stats(&Statistics);
  dropin::GLIBC_VIEW View;
  dropin::ReadGlibcView(View);
  const auto Number = [](uint64_t Value) { return static_cast<unsigned long long>(Value); };
  fprintf(stream, "<malloc version=\"1\">\n<heap nr=\"0\">\n<sizes>\n");
  uint64_t From = 1;
  for (uint32_t Class = 0; Class < Statistics.class_count; ++Class) {
    const krax_class_stats &Counts = Statistics.classes[Class];
    if (Counts.live != 0)
      fprintf(stream, "<size from=\"%llu\" to=\"%llu\" total=\"%llu\" count=\"%llu\"/>\n", Number(From),
              Number(Counts.size), Number(Counts.live * Counts.size), Number(Counts.live));
    From = Counts.size + 1;
  }
  fprintf(stream, "</sizes>\n<total type=\"fast\" count=\"0\" size=\"0\"/>\n");
  fprintf(stream, "<total type=\"rest\" count=\"0\" size=\"%llu\"/>\n", Number(View.Free));
  fprintf(stream, "<system type=\"current\" size=\"%llu\"/>\n", Number(View.Arena));
  fprintf(stream, "<system type=\"max\" size=\"%llu\"/>\n", Number(View.PeakHeld));
  fprintf(stream, "<aspace type=\"total\" size=\"%llu\"/>\n", Number(View.Arena));
  fprintf(stream, "<aspace type=\"mprotect\" size=\"%llu\"/>\n</heap>\n", Number(View.Arena));
  fprintf(stream, "<total type=\"fast\" count=\"0\" size=\"0\"/>\n");
  fprintf(stream, "<total type=\"rest\" count=\"0\" size=\"%llu\"/>\n", Number(View.Free));
  fprintf(stream, "<total type=\"mmap\" count=\"%llu\" size=\"%llu\"/>\n", Number(View.MappedBlocks),
          Number(View.Mapped));
  fprintf(stream, "<system type=\"current\" size=\"%llu\"/>\n", Number(View.Held));
  fprintf(stream, "<system type=\"max\" size=\"%llu\"/>\n", Number(View.PeakHeld));
  fprintf(stream, "<aspace type=\"total\" size=\"%llu\"/>\n", Number(View.Held));
  fprintf(stream, "<aspace type=\"mprotect\" size=\"%llu\"/>\n</malloc>\n", Number(View.Held));
  return 0;
}

}  // extern "C"
