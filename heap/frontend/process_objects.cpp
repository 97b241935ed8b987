#include "heap/frontend/process_objects.h"

#include "heap/pages/duzovev_back_end.h"
#include "heap/support/hybrid_lock.h"

DUZOVEV_BACK_END &ProcessBackEnd() {
  // Static data only: its destructor, registered on first use, releases nothing.
  static constinit DUZOVEV_BACK_END BackEnd;
  return BackEnd;
}

HYBRID_LOCK &ProcessFindLock() {
  static HYBRID_LOCK Lock(4096, 256);
  return Lock;
}
