#pragma once
// What a model's TensorFlow Lite metadata says that the tool uses: the
// input's normalization, the output's label files, and the model's name,
// version, author and license. The metadata is untrusted input: it is read
// only after the FlatBuffers verifier has passed it.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace classify {

// A file of class names in the zip archive appended to the model.
struct label_file {
  std::string name;
  std::string locale;  // empty when it has none
};

struct model_metadata {
  bool present = false;  // the model carries metadata that passed the verifier
  std::string name, version, author, license;
  // The input's normalization: one value or one a channel; empty when none.
  std::vector<float> mean, std;
  // The TENSOR_AXIS_LABELS files of the output, in the metadata's order.
  std::vector<label_file> label_files;
};

// Reads the metadata of the model in `bytes` (a model that passed
// model_is_sound) for the input and the output at these positions among the
// model's inputs and outputs. A model without metadata gives an empty result
// and no warning; damaged metadata gives what could be read before the
// damage (nothing, where the verifier refuses it) and `warnings` a line each
// that names the problem.
model_metadata read_metadata(const uint8_t* bytes, size_t size, int input_position,
                             int output_position, std::vector<std::string>* warnings);

// The label file to take: the one of `locale`, else the one without a
// locale, else the first; null when there is none.
const label_file* choose_label_file(const std::vector<label_file>& files,
                                    const std::string& locale);

}  // namespace classify
