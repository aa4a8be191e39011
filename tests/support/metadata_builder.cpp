#include "tests/support/metadata_builder.h"

#include <zlib.h>

#include <cstdint>

#include "metadata_schema_generated.h"

namespace classify {

std::string metadata_buffer(const metadata_def& def) {
  flatbuffers::FlatBufferBuilder builder;
  std::vector<flatbuffers::Offset<tflite::ProcessUnit>> units;
  if (!def.mean.empty() || !def.std.empty()) {
    const auto options = tflite::CreateNormalizationOptionsDirect(builder, &def.mean, &def.std);
    units.push_back(tflite::CreateProcessUnit(
        builder, tflite::ProcessUnitOptions_NormalizationOptions, options.Union()));
  }
  const auto input = tflite::CreateTensorMetadataDirect(builder, "image", nullptr, nullptr, &units);
  std::vector<flatbuffers::Offset<tflite::AssociatedFile>> files;
  for (const label_file_def& file : def.label_files) {
    files.push_back(tflite::CreateAssociatedFileDirect(
        builder, file.name.c_str(), "class names", tflite::AssociatedFileType_TENSOR_AXIS_LABELS,
        file.locale.empty() ? nullptr : file.locale.c_str()));
  }
  const auto output =
      tflite::CreateTensorMetadataDirect(builder, "probability", nullptr, nullptr, nullptr, &files);
  const std::vector<flatbuffers::Offset<tflite::TensorMetadata>> inputs = {input};
  const std::vector<flatbuffers::Offset<tflite::TensorMetadata>> outputs = {output};
  const std::vector<flatbuffers::Offset<tflite::SubGraphMetadata>> graphs = {
      tflite::CreateSubGraphMetadataDirect(builder, "main", nullptr, &inputs, &outputs)};
  const auto text = [&](const std::string& s) { return s.empty() ? nullptr : s.c_str(); };
  const auto root =
      tflite::CreateModelMetadataDirect(builder, text(def.name), nullptr, text(def.version),
                                        &graphs, text(def.author), text(def.license));
  tflite::FinishModelMetadataBuffer(builder, root);
  return std::string(reinterpret_cast<const char*>(builder.GetBufferPointer()), builder.GetSize());
}

namespace {

void put16(std::string* out, uint32_t value) {
  out->push_back(static_cast<char>(value & 0xFF));
  out->push_back(static_cast<char>((value >> 8) & 0xFF));
}

void put32(std::string* out, uint32_t value) {
  put16(out, value & 0xFFFF);
  put16(out, value >> 16);
}

}  // namespace

std::string with_zip(const std::string& model,
                     const std::vector<std::pair<std::string, std::string>>& files,
                     bool offsets_from_archive) {
  const uint32_t base = offsets_from_archive ? 0 : static_cast<uint32_t>(model.size());
  std::string archive, directory;
  for (const auto& file : files) {
    const std::string& name = file.first;
    const std::string& contents = file.second;
    const uint32_t crc = static_cast<uint32_t>(crc32(
        0, reinterpret_cast<const Bytef*>(contents.data()), static_cast<uInt>(contents.size())));
    const uint32_t offset = base + static_cast<uint32_t>(archive.size());
    const auto header = [&](std::string* out, bool central) {
      put32(out, central ? 0x02014b50 : 0x04034b50);
      if (central) put16(out, 20);  // made by
      put16(out, 20);               // needed to extract
      put16(out, 0);                // flags
      put16(out, 0);                // stored
      put32(out, 0);                // time and date
      put32(out, crc);
      put32(out, static_cast<uint32_t>(contents.size()));
      put32(out, static_cast<uint32_t>(contents.size()));
      put16(out, static_cast<uint32_t>(name.size()));
      put16(out, 0);  // extra field
      if (central) {
        put16(out, 0);  // comment
        put16(out, 0);  // disk
        put16(out, 0);  // internal attributes
        put32(out, 0);  // external attributes
        put32(out, offset);
      }
      *out += name;
    };
    header(&archive, false);
    archive += contents;
    header(&directory, true);
  }
  const uint32_t directory_offset = base + static_cast<uint32_t>(archive.size());
  archive += directory;
  put32(&archive, 0x06054b50);
  put16(&archive, 0);
  put16(&archive, 0);
  put16(&archive, static_cast<uint32_t>(files.size()));
  put16(&archive, static_cast<uint32_t>(files.size()));
  put32(&archive, static_cast<uint32_t>(directory.size()));
  put32(&archive, directory_offset);
  put16(&archive, 0);
  return model + archive;
}

}  // namespace classify
