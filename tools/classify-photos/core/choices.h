#pragma once
// The choices of a batch that the command line makes and the parts below it
// act on, here so that knowing them takes none of those parts.

#include "tools/classify-photos/layers.h"

CLASSIFY_PHOTOS_IN_LAYER(core);

namespace classify {

// Which kernels run the model: XNNPACK's through the library's delegate, or
// the library's builtin ones (classify/kernels.h).
enum class kernel_choice { xnnpack, builtin };

// How --sort-into puts a photograph into its class folder
// (keep/class_folders.h).
enum class sort_mode { symlink, hardlink, copy };

// Which folder --sort-into puts a photograph in: its best class's, or the
// category path's over that class, a folder a level.
enum class sort_key { by_class, by_category };

// photo.jpg.xmp (darktable's and digiKam's name), or photo.xmp with
// --xmp-name basename (keep/xmp_sidecar.h).
enum class sidecar_naming { full_name, base_name };

// --scores: the model's scores as they are, or logits turned into
// probabilities by a softmax over the classes or a sigmoid of each
// (classify/selection.h).
enum class score_conversion { as_given, softmax, sigmoid };

}  // namespace classify
