#include "platform/trace_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace platform {

const char *const TraceFileNameFormats[TraceFileLocations] = {"/tmp/DebugTrace%s.log", "/var/tmp/DebugTrace%s.log"};

void FormatTraceText(char *Buffer, int32_t Limit, const char *Format, va_list Arguments) {
  // vsnprintf counts the terminating zero in its size: Limit characters fit in Limit + 1.
  vsnprintf(Buffer, static_cast<size_t>(Limit) + 1, Format, Arguments);
}

void FormatTraceFileName(char *Buffer, const char *Format, const char *Suffix) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  sprintf(Buffer, Format, Suffix);
#pragma GCC diagnostic pop
}

TRACE_FILE CreateTraceFile(const char *Name) {
  // Never through a symbolic link: the folders are shared with other users.
  const int File = open(Name, O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
  return File < 0 ? InvalidTraceFile : static_cast<TRACE_FILE>(File);
}

void WriteTraceFile(TRACE_FILE File, const char *Bytes, int32_t Count) {
  while (Count > 0) {
    const ssize_t Written = write(static_cast<int>(File), Bytes, static_cast<size_t>(Count));
    if (Written < 0 && errno == EINTR)
      continue;
    if (Written <= 0)
      return;
    Bytes += Written;
    Count -= static_cast<int32_t>(Written);
  }
}

void FlushTraceFile(TRACE_FILE File) { fdatasync(static_cast<int>(File)); }

void CloseTraceFile(TRACE_FILE File) { close(static_cast<int>(File)); }

}  // namespace platform
