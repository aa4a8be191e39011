#pragma once
// Model metadata and the zip archive of its files, built for the tests with
// the metadata schema's generated code and a zip writer of the tests' own
// (stored entries), so that the program's readers (the FlatBuffers verifier
// and minizip) meet files they did not write.

#include <string>
#include <utility>
#include <vector>

namespace classify {

struct label_file_def {
  std::string name;
  std::string locale;
};

struct metadata_def {
  std::string name, version, author, license;
  std::vector<float> mean, std;             // the input's normalization
  std::vector<label_file_def> label_files;  // TENSOR_AXIS_LABELS of the output
};

// A TFLITE_METADATA buffer: ModelMetadata with one subgraph of one input and
// one output.
std::string metadata_buffer(const metadata_def& def);

// `model` with a zip archive of `files` (name, contents; stored) appended.
// The archive's offsets count from the start of the model file, as tools
// that append an archive to a file write them, or, with
// `offsets_from_archive`, from the archive's own start.
std::string with_zip(const std::string& model,
                     const std::vector<std::pair<std::string, std::string>>& files,
                     bool offsets_from_archive = false);

}  // namespace classify
