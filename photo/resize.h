#pragma once
// The centre crop and the resize to the model's input size.

#include <vector>

#include "photo/image.h"

namespace classify {

// The centre crop that keeps `crop` (above 0, at most 1) of each side, at
// least one pixel, resized to `width` x `height`: each output pixel the area
// average of the source it covers where the crop shrinks, bilinear
// interpolation between pixel centres where it grows. Three bytes a pixel.
std::vector<unsigned char> crop_and_resize(const rgb_image& image, double crop, int width,
                                           int height);

}  // namespace classify
