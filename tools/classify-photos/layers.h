#pragma once
// The layers of classify-photos, lowest first. The code of a folder includes
// only from its own layer and those below it, and its library links only
// those. Every header says its folder's layer, and the build gives each
// library its own (CLASSIFY_PHOTOS_LAYER): a header of a higher layer then
// fails to compile there, so an include that runs back up is a build error
// at once. main, the tests, the benchmarks and the fuzzers stand above them
// all and set none.
//
//   core      a photograph's result and class scores, the choices of a batch
//   cli       the command line
//   truth     the true classes and the accuracy figures of --truth
//   output    the lines, the summary and the contact sheet
//   classify  the model, its kernels and the workers that classify
//   keep      the cache, the sidecars and the class folders
//   remote    the batch spread over ssh (POSIX)
//   batch     the batch in its order, from the workers or the remote machines

#define CLASSIFY_PHOTOS_LAYER_core 1
#define CLASSIFY_PHOTOS_LAYER_cli 2
#define CLASSIFY_PHOTOS_LAYER_truth 3
#define CLASSIFY_PHOTOS_LAYER_output 4
#define CLASSIFY_PHOTOS_LAYER_classify 5
#define CLASSIFY_PHOTOS_LAYER_keep 6
#define CLASSIFY_PHOTOS_LAYER_remote 7
#define CLASSIFY_PHOTOS_LAYER_batch 8

#ifdef CLASSIFY_PHOTOS_LAYER
#define CLASSIFY_PHOTOS_IN_LAYER(folder)                                 \
  static_assert(CLASSIFY_PHOTOS_LAYER >= CLASSIFY_PHOTOS_LAYER_##folder, \
                "a header of " #folder                                   \
                "/ is included from a lower layer, "                     \
                "where nothing of it may be used (tools/classify-photos/layers.h)")
#else
#define CLASSIFY_PHOTOS_IN_LAYER(folder) static_assert(true, "")
#endif
