// Writes the model fuzzer's seed corpus: the test models, each a valid
// starting point that mutations can damage in every table.
#include <fstream>
#include <iostream>
#include <string>

#include "support/model_builder.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: write_seeds FOLDER\n";
    return 2;
  }
  const std::string folder = argv[1];
  const std::pair<const char*, model_def> seeds[] = {
      {"softmax", softmax_model()},        {"scaling", scaling_model(0.5f)},
      {"power", power_model(-2.0f, 16)},   {"unallocatable", unallocatable_model()},
      {"small_softmax", softmax_model(3)},
  };
  for (const auto& [name, def] : seeds) {
    std::ofstream out(folder + "/" + name + ".tflite", std::ios::binary);
    const std::string bytes = serialize_model(def);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
      std::cerr << "write_seeds: cannot write " << folder << "/" << name << ".tflite\n";
      return 1;
    }
  }
  return 0;
}
