#include "platform/trace_file.h"

#include <windows.h>

#include <cstdio>

namespace platform {

const char *const TraceFileNameFormats[TraceFileLocations] = {"C:\\Temp\\DebugTrace%s.log", "C:\\DebugTrace%s.log"};

void FormatTraceText(char *Buffer, int32_t Limit, const char *Format, va_list Arguments) {
  _vsnprintf(Buffer, static_cast<size_t>(Limit), Format, Arguments);
}

void FormatTraceFileName(char *Buffer, const char *Format, const char *Suffix) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  sprintf(Buffer, Format, Suffix);
#pragma GCC diagnostic pop
}

TRACE_FILE CreateTraceFile(const char *Name) {
  HANDLE File = CreateFileA(Name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
  return reinterpret_cast<TRACE_FILE>(File);
}

void WriteTraceFile(TRACE_FILE File, const char *Bytes, int32_t Count) {
  DWORD Written = 0;
  WriteFile(reinterpret_cast<HANDLE>(File), Bytes, static_cast<DWORD>(Count), &Written, nullptr);
}

void FlushTraceFile(TRACE_FILE File) { FlushFileBuffers(reinterpret_cast<HANDLE>(File)); }

void CloseTraceFile(TRACE_FILE File) { CloseHandle(reinterpret_cast<HANDLE>(File)); }

}  // namespace platform
