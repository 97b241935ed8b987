// The debug trace file of the allocator: its two possible names, and create,
// write and flush without any allocation (the text and the name live in the
// caller's fixed buffers).
#pragma once

#include <cstdarg>
#include <cstdint>

namespace platform {

// An open trace file; InvalidTraceFile stands for none.
using TRACE_FILE = intptr_t;
constexpr TRACE_FILE InvalidTraceFile = -1;

// The names tried in order; each holds one "%s" for the process-wide name suffix.
constexpr int32_t TraceFileLocations = 2;
extern const char *const TraceFileNameFormats[TraceFileLocations];

// Formats at most Limit characters into Buffer; a longer text is cut and may
// then be left without its terminating zero, which the caller adds.
void FormatTraceText(char *Buffer, int32_t Limit, const char *Format, va_list Arguments);
// Builds a trace file name from one of the formats above. The caller makes
// sure that the name fits its buffer.
void FormatTraceFileName(char *Buffer, const char *Format, const char *Suffix);

// Creates the file, truncating one that exists; InvalidTraceFile on failure.
TRACE_FILE CreateTraceFile(const char *Name);
// Results are not examined: the trace is best effort.
void WriteTraceFile(TRACE_FILE File, const char *Bytes, int32_t Count);
void FlushTraceFile(TRACE_FILE File);
void CloseTraceFile(TRACE_FILE File);

}  // namespace platform
