#include "heap/support/software_failure.h"

#include <atomic>
#include <cstdarg>
#include <cstring>

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

namespace {

// Set once the trace lock has been destroyed at exit. A failure raised by a
// destructor that runs later is still traced, without the lock: by then the
// process is down to the thread that exits.
constinit std::atomic<bool> TraceLockGone{false};

struct TRACE_LOCK {
  HYBRID_LOCK Lock{4096, 256};
  ~TRACE_LOCK() { TraceLockGone.store(true); }
};

// Claims the trace lock while it exists.
class TRACE_CLAIM {
 public:
  TRACE_CLAIM() : Held(!TraceLockGone.load()) {
    if (Held)
      TraceLock().Acquire();
  }
  ~TRACE_CLAIM() {
    if (Held)
      TraceLock().Release();
  }
  TRACE_CLAIM(const TRACE_CLAIM &) = delete;
  TRACE_CLAIM &operator=(const TRACE_CLAIM &) = delete;

 private:
  bool Held;
};

}  // namespace

HYBRID_LOCK &TraceLock() {
  static TRACE_LOCK Holder;
  return Holder.Lock;
}

void WriteDebugTrace(const char *Format, ...) {
  char Text[TraceTextBytes];
  va_list Arguments;
  va_start(Arguments, Format);
  platform::FormatTraceText(Text, TraceTextBytes - 1, Format, Arguments);
  va_end(Arguments);
  Text[TraceTextBytes - 1] = '\0';

  TRACE_CLAIM Claim;
  if (TraceFile != platform::InvalidTraceFile || OpenTraceFile()) {
    if (Text[0] != '\0')
      WriteTraceLines(Text);
    platform::FlushTraceFile(TraceFile);
  }
}

void SoftwareFailure(const char *Message) {
  WriteDebugTrace("*** Software Failure: %s ***\n", Message);
  throw const_cast<unsigned char *>(reinterpret_cast<const unsigned char *>(Message));
}

void SetDebugTraceNameSuffix(const char *Suffix) {
  TRACE_CLAIM Claim;
  if (TraceFile != platform::InvalidTraceFile)
    platform::CloseTraceFile(TraceFile);
  TraceFile = platform::InvalidTraceFile;
  TraceNameSuffix = Suffix != nullptr ? Suffix : "";
}
