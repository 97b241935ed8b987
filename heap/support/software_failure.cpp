#include "heap/support/software_failure.h"

#include <cstdarg>
#include <cstring>
#include <new>

#include "heap/support/hybrid_lock.h"
#include "platform/trace_file.h"

namespace {

constexpr int32_t TraceTextBytes = 512;
constexpr int32_t TraceNameBytes = 128;

// Process-wide static data; nothing here needs a constructor.
constinit platform::TRACE_FILE TraceFile = platform::InvalidTraceFile;
constinit const char *TraceNameSuffix = "";

// A name that would not fit its buffer is a location that cannot be created.
bool BuildTraceFileName(char (&Name)[TraceNameBytes], const char *Format) {
  const size_t Length = std::strlen(Format) - 2 + std::strlen(TraceNameSuffix);
  if (Length >= sizeof Name)
    return false;
  platform::FormatTraceFileName(Name, Format, TraceNameSuffix);
  return true;
}

bool OpenTraceFile() {
  for (const char *Format : platform::TraceFileNameFormats) {
    char Name[TraceNameBytes];
    if (!BuildTraceFileName(Name, Format))
      continue;
    TraceFile = platform::CreateTraceFile(Name);
    if (TraceFile != platform::InvalidTraceFile)
      return true;
  }
  return false;
}

// Each line feed becomes CR LF; text after the last line feed has no line end.
void WriteTraceLines(const char *Text) {
  for (;;) {
    const size_t Run = std::strcspn(Text, "\n");
    platform::WriteTraceFile(TraceFile, Text, static_cast<int32_t>(Run));
    if (Text[Run] == '\0')
      return;
    platform::WriteTraceFile(TraceFile, "\r\n", 2);
    Text += Run + 1;
  }
}

}  // namespace

HYBRID_LOCK &TraceLock() {
  alignas(HYBRID_LOCK) static unsigned char Storage[sizeof(HYBRID_LOCK)];
  static HYBRID_LOCK *const Lock = new (Storage) HYBRID_LOCK(4096, 256);
  return *Lock;
}

void WriteDebugTrace(const char *Format, ...) {
  char Text[TraceTextBytes];
  va_list Arguments;
  va_start(Arguments, Format);
  platform::FormatTraceText(Text, TraceTextBytes - 1, Format, Arguments);
  va_end(Arguments);
  Text[TraceTextBytes - 1] = '\0';

  HYBRID_LOCK &Lock = TraceLock();
  Lock.Acquire();
  if (TraceFile != platform::InvalidTraceFile || OpenTraceFile()) {
    if (Text[0] != '\0')
      WriteTraceLines(Text);
    platform::FlushTraceFile(TraceFile);
  }
  Lock.Release();
}

void SoftwareFailure(const char *Message) {
  WriteDebugTrace("*** Software Failure: %s ***\n", Message);
  throw const_cast<unsigned char *>(reinterpret_cast<const unsigned char *>(Message));
}

void SetDebugTraceNameSuffix(const char *Suffix) {
  HYBRID_LOCK &Lock = TraceLock();
  Lock.Acquire();
  if (TraceFile != platform::InvalidTraceFile)
    platform::CloseTraceFile(TraceFile);
  TraceFile = platform::InvalidTraceFile;
  TraceNameSuffix = Suffix != nullptr ? Suffix : "";
  Lock.Release();
}
