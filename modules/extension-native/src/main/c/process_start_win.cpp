#include "process_start.h"

// Windows writes no core files of its own, and a closed standard handle is never reused by a file
// the host opens: nothing to do.
void secure_process_start() {}

// The Windows heap is one per process already.
void configure_process_heap() {}
