#pragma once
// The process's memory, made ready for a run before anything else happens.

namespace classify {

// Grows the heap once, in transparent huge pages where the kernel grants
// them, so that the model's tensors and the value buffer do not take a page
// fault per 4 KiB on first touch; and maps the program's code and read-only
// data in one go, instead of a fault at each 64 KiB window the run first
// reaches. Only the time changes; where the platform offers none of this,
// nothing happens.
void prepare_memory();

}  // namespace classify
