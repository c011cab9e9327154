#include "heaptuning.h"

// Any C library header tells whether this is glibc.
#include <cstdlib>
#ifdef __GLIBC__
#include <malloc.h>
#endif

void tuneHeapForLargeTables()
{
#ifdef __GLIBC__
    // Dropping a table of 65,535 rows frees about two million small blocks. glibc parks them in its
    // fast bins and merges them all in one pass at the next large request, which then stalls the next
    // table for tens of milliseconds; without fast bins, blocks are merged as they are freed, and the
    // per-thread cache still serves the hot small sizes.
    mallopt(M_MXFAST, 0);
#endif
}
