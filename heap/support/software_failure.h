// The allocator's one way to report a fault, and its debug trace file.
//
// SoftwareFailure writes "*** Software Failure: <message> ***" as one line of
// the trace and throws the message pointer as an unsigned char * (a handler
// for void * catches it as well); only the front end catches it. Every line
// feed of a trace text becomes CR LF in the file; a text is cut to 511
// characters. The file is created (truncated) by the first write of the
// process and stays open; while neither location can be created, each write
// tries again and drops its text.
#pragma once

#include <cstdint>

struct HYBRID_LOCK;

[[noreturn]] void SoftwareFailure(const char *Message);

// A printf-style line writer, callable from any thread: formatting runs
// outside the lock, opening, writing and flushing under TraceLock().
void WriteDebugTrace(const char *Format, ...) __attribute__((format(printf, 1, 2)));

// Serialises all writes to the trace file. Built on first use and destroyed at
// exit in its place among the process-wide objects (start-up calls it once to
// fix that place); a failure raised by a destructor after that is still
// traced, without the lock.
HYBRID_LOCK &TraceLock();

// The "%s" of the trace file names; empty unless a test points the trace at a
// file of its own. Setting it closes an open trace file, so that the next write
// creates the file under the new name. The suffix must outlive its use.
void SetDebugTraceNameSuffix(const char *Suffix);
