#pragma once
// The process's memory, made ready for a run before anything else happens.

namespace classify {

// Grows the heap once, in transparent huge pages where the kernel grants
// them, so that the model's tensors and the value buffer do not take a page
// fault per 4 KiB on first touch; and maps the program's code and read-only
// data in one go, instead of a fault at each 64 KiB window the run first
// reaches. Only the time changes; where the platform offers none of this,
// nothing happens.
//
// classify-photos takes the same: its workers' threads allocate on this one
// heap too. On 240 photographs of 1200x800, an arena a thread, or glibc's
// defaults, ran as fast at --jobs 1 and 2 and took 1,100 to 4,600 page
// faults more.
void prepare_memory();

}  // namespace classify
