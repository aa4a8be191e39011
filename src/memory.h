#pragma once
// The process heap, made ready for a run before anything is allocated.

// Grows the heap once, in transparent huge pages where the kernel grants
// them, so that the model's tensors and the value buffer do not take a page
// fault per 4 KiB on first touch. Only the time changes; where the platform
// offers none of this, nothing happens.
void prepare_heap();
