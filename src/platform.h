#pragma once
// The operating-system services the program uses beyond the standard
// library, behind one seam: platform_posix.cpp (Linux) and
// platform_windows.cpp (64-bit Windows) implement it, and the build picks
// one. Everything else in the program is portable C++.

#include <cstddef>
#include <cstdint>
#include <string>

// The file at `path` mapped read-only, or null when it is not a non-empty
// regular file that can be opened and mapped. The mapping is kept until the
// process ends.
const uint8_t* map_file_readonly(const std::string& path, size_t* size);

// Grows the heap at once by `bytes` and keeps large allocations on it, in
// transparent huge pages where the platform offers them; does nothing where
// it offers nothing of the kind.
void grow_heap(size_t bytes);
