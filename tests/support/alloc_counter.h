// Counts the heap allocations made by the calling thread between start and stop, through a
// replaced global operator new (and malloc, where no sanitizer owns it). Link the
// palvex_alloc_counter library only into test programs that want it.
#pragma once

namespace alloc_counter {
void start();  // begins counting on this thread, from 0
long stop();   // ends counting on this thread and returns the count
}  // namespace alloc_counter
