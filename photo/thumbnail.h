#pragma once
// A small JPEG of a decoded photograph, for a contact sheet.

#include <string>
#include <vector>

#include "photo/image.h"

namespace classify {

// The photograph shrunk, its proportions kept, so that its longer side is at
// most `longest` pixels (a smaller one keeps its size), as a baseline JPEG
// of `quality` (1 to 100). Empty when the encoder fails.
std::vector<unsigned char> thumbnail_jpeg(const rgb_image& image, int longest, int quality);

// The size thumbnail_jpeg gives a photograph of `width` x `height`.
void thumbnail_size(int width, int height, int longest, int* thumb_width, int* thumb_height);

}  // namespace classify
