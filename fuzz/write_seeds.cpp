// Writes the model fuzzer's seed corpus: the test models, each a valid
// starting point that mutations can damage in every table; and the metadata
// fuzzer's: models with metadata and label files in an appended archive.
#include <fstream>
#include <iostream>
#include <string>

#include "tests/support/metadata_builder.h"
#include "tests/support/model_builder.h"

using namespace classify;

namespace {

bool write(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) std::cerr << "write_seeds: cannot write " << path << "\n";
  return static_cast<bool>(out);
}

bool write_metadata_seeds(const std::string& folder) {
  metadata_def def;
  def.name = "seed";
  def.version = "1";
  def.mean = {127.5f};
  def.std = {127.5f, 127.5f, 127.5f};
  def.label_files = {{"labels.txt", ""}, {"labels_fr.txt", "fr"}};
  model_def model = picking_model(tflite::TensorType_UINT8, 2, 2, {0, 5, 11}, 0.5f, 3);
  model.metadata = metadata_buffer(def);
  const std::string bytes = serialize_model(model);
  const std::vector<std::pair<std::string, std::string>> files = {
      {"labels.txt", "a\nb\nc\n"}, {"labels_fr.txt", "un\r\ndeux\r\ntrois"}};
  return write(folder + "/appended.tflite", with_zip(bytes, files)) &&
         write(folder + "/from_archive.tflite", with_zip(bytes, files, true)) &&
         write(folder + "/no_archive.tflite", bytes);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: write_seeds MODEL_FOLDER METADATA_FOLDER\n";
    return 2;
  }
  const std::string folder = argv[1];
  const std::pair<const char*, model_def> seeds[] = {
      {"softmax", softmax_model()},        {"scaling", scaling_model(0.5f)},
      {"power", power_model(-2.0f, 16)},   {"unallocatable", unallocatable_model()},
      {"small_softmax", softmax_model(3)},
  };
  for (const auto& [name, def] : seeds) {
    if (!write(folder + "/" + name + ".tflite", serialize_model(def))) return 1;
  }
  return write_metadata_seeds(argv[2]) ? 0 : 1;
}
