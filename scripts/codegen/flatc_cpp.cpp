// flatc-cpp: FlatBuffers' own C++ code generator, from the FlatBuffers
// release TensorFlow Lite is built with, behind a main that generates C++
// alone: the full flatc compiles code generators for a dozen languages the
// build does not need. Usage: flatc-cpp SCHEMA.fbs OUTPUT_FOLDER
// writes OUTPUT_FOLDER/SCHEMA_generated.h, as `flatc --cpp` does.
#include <cstdio>
#include <string>

#include "flatbuffers/idl.h"
#include "flatbuffers/util.h"
#include "idl_gen_cpp.h"

namespace flatbuffers {
// The C++ generator's gRPC service stubs are never asked for here.
bool GenerateCppGRPC(const Parser&, const std::string&, const std::string&) { return false; }
// What flatc's own main does with the generators' complaints.
void LogCompilerWarn(const std::string& warning) {
  std::fprintf(stderr, "flatc-cpp: warning: %s\n", warning.c_str());
}
void LogCompilerError(const std::string& error) {
  std::fprintf(stderr, "flatc-cpp: %s\n", error.c_str());
}
}  // namespace flatbuffers

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: flatc-cpp SCHEMA.fbs OUTPUT_FOLDER\n");
    return 2;
  }
  const std::string schema_path = argv[1];
  std::string schema;
  if (!flatbuffers::LoadFile(schema_path.c_str(), false, &schema)) {
    std::fprintf(stderr, "flatc-cpp: %s: cannot be read\n", schema_path.c_str());
    return 1;
  }
  flatbuffers::IDLOptions options;
  options.lang_to_generate = flatbuffers::IDLOptions::kCpp;
  flatbuffers::Parser parser(options);
  const std::string folder = flatbuffers::StripFileName(schema_path);
  const char* include_paths[] = {folder.c_str(), nullptr};
  if (!parser.Parse(schema.c_str(), include_paths, schema_path.c_str())) {
    std::fprintf(stderr, "flatc-cpp: %s\n", parser.error_.c_str());
    return 1;
  }
  flatbuffers::EnsureDirExists(argv[2]);
  const std::string output = flatbuffers::ConCatPathFileName(argv[2], "");
  const std::string base = flatbuffers::StripPath(flatbuffers::StripExtension(schema_path));
  if (flatbuffers::NewCppCodeGenerator()->GenerateCode(parser, output, base) !=
      flatbuffers::CodeGenerator::Status::OK) {
    std::fprintf(stderr, "flatc-cpp: cannot write the C++ code into %s\n", argv[2]);
    return 1;
  }
  return 0;
}
