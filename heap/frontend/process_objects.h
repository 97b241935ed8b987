// The process-wide objects every heap relies on: the back end that all
// configured heaps share, and the lock that guards the address lookup shared
// by the heaps built with SingleImage. (The debug trace's lock is TraceLock(),
// beside the trace.) Each is built on first use and destroyed at process exit
// in the reverse order of building, so a program that only links the library
// can build heaps, and a program that wants a fixed order calls them in it
// before it builds its first heap.
#pragma once

class DUZOVEV_BACK_END;
struct HYBRID_LOCK;

DUZOVEV_BACK_END &ProcessBackEnd();
HYBRID_LOCK &ProcessFindLock();
