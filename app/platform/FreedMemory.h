#pragma once

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace harbelle {

// glibc keeps freed heap pages in the process until it is asked to give them back; an agent that
// idles for days after a burst of large allocations (a load, images) would carry them all along.
inline void returnFreedHeapToSystem() {
#ifdef __GLIBC__
    ::malloc_trim(0);
#endif
}

}  // namespace harbelle
