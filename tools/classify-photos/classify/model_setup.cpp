#include "tools/classify-photos/classify/model_setup.h"

#include <algorithm>
#include <cstdio>
#include <set>
#include <sstream>

#include "model/associated_file.h"
#include "model/operators.h"
#include "model/scores.h"
#include "tools/classify-photos/output/report.h"

namespace classify {

namespace {

// One value, or one a channel.
void spread(const std::vector<float>& values, float* channels) {
  for (size_t c = 0; c < 3; ++c) channels[c] = values.size() == 3 ? values[c] : values.front();
}

void choose_normalization(const photos_options& options, const loaded_model& model,
                          const classifier& first, model_setup* setup) {
  setup->mean_source = setup->std_source = "the default";
  if (setup->metadata.mean.empty() && first.input().type == kTfLiteFloat32 &&
      rescales_own_input(model.bytes, model.size, first.input().position)) {
    // Its first layers map 0 to 255 onto what it takes: the bytes as they are.
    spread({0.0f}, setup->norm.mean);
    spread({1.0f}, setup->norm.std);
    setup->mean_source = setup->std_source = "the model rescales its own input: values 0 to 255";
  }
  if (!setup->metadata.mean.empty()) {
    spread(setup->metadata.mean, setup->norm.mean);
    spread(setup->metadata.std, setup->norm.std);
    setup->mean_source = setup->std_source = "the model's metadata";
  }
  if (!options.mean.empty()) {
    spread(options.mean, setup->norm.mean);
    setup->mean_source = "--mean";
  }
  if (!options.std.empty()) {
    spread(options.std, setup->norm.std);
    setup->std_source = "--std";
  }
}

outcome choose_labels(const photos_options& options, const loaded_model& model,
                      model_setup* setup) {
  if (!options.labels.empty()) {
    // The labels reader is classify's own, which says why through a string.
    std::string problem;
    if (!read_labels(options.labels, &setup->labels, &problem)) return failure{problem};
    setup->have_labels = true;
    setup->labels_source = options.labels + " (--labels)";
    return {};
  }
  if (const label_file* file = choose_label_file(setup->metadata.label_files, options.locale)) {
    std::string contents, problem;
    if (read_associated_file(model.bytes, model.size, file->name, &contents, &problem)) {
      setup->labels = labels_of_text(contents);
      setup->have_labels = true;
      setup->labels_source = file->name + " in the model's own files" +
                             (file->locale.empty() ? "" : ", locale " + file->locale);
      return {};
    }
    setup->warnings.push_back(problem);
  }
  if (!options.installed_labels.empty()) {
    std::string ignored;
    if (read_labels(options.installed_labels, &setup->labels, &ignored)) {
      setup->have_labels = true;
      setup->labels_source = options.installed_labels + " (installed with the model)";
    }
  }
  return {};
}

std::string number(float value) { return score_text(value); }

std::string number_text(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

std::string channels(const float* values) {
  if (values[0] == values[1] && values[1] == values[2]) return number(values[0]);
  return number(values[0]) + "," + number(values[1]) + "," + number(values[2]);
}

std::string quantization(const tensor_facts& tensor) {
  if (tensor.type == kTfLiteFloat32) return "";
  if (tensor.scale == 0.0f) return "; not quantized";
  return "; quantization scale " + number(tensor.scale) + ", zero point " +
         std::to_string(tensor.zero_point);
}

std::string tensor_line(const char* role, const tensor_facts& tensor) {
  return std::string(role) + ": \"" + tensor.name + "\" (" + role + " " +
         std::to_string(tensor.position) + "), " + type_text(tensor.type) + " " +
         shape_text(tensor.shape);
}

std::string values_fed(TfLiteType type) {
  switch (type) {
    case kTfLiteFloat32:
      return "(byte - mean) / std, channel by channel";
    case kTfLiteUInt8:
      return "the bytes as they are";
    default:
      return "byte - 128";
  }
}

// How the input holds a photograph's pixels.
std::string layout_text(const image_input& image) {
  switch (image.layout) {
    case pixel_layout::grey:
      return "grey, (19595 R + 38470 G + 7471 B + 32768) >> 16 (ITU-R 601)";
    case pixel_layout::planes:
      return "R, G, B planes (channels first)";
    default:
      return image.ambiguous
                 ? "R, G, B (channels last: [1,3,W,3] could be either, and is read as [1,H,W,3])"
                 : "R, G, B";
  }
}

std::string first_labels(const std::vector<std::string>& labels) {
  std::string text;
  for (size_t i = 0; i < labels.size() && i < 4; ++i) {
    text += (i > 0 ? ", " : "") + std::string("\"") + labels[i] + "\"";
  }
  return labels.size() > 4 ? text + ", ..." : text;
}

// How many classes have a path, over how many broad categories, and where
// the map came from.
std::string category_summary(const category_map& map) {
  if (!map.in_use()) return map.source;
  size_t with_path = 0;
  std::set<std::string> broad;
  for (const std::vector<std::string>& path : map.paths) {
    if (path.empty()) continue;
    ++with_path;
    broad.insert(path.front());
  }
  return std::to_string(with_path) + " of " + std::to_string(map.paths.size()) +
         " classes have a path, under " + std::to_string(broad.size()) +
         " broad categories, from " + map.source;
}

// What the scores are, by the operator that makes them; where no operator
// says, by the scores of a grey picture: logits where one is outside 0 to 1.
std::string scores_text(const output_operator& scores, classifier* first) {
  switch (scores.source) {
    case score_source::softmax:
      return "probabilities, one class a photograph (the output comes from a final SOFTMAX)";
    case score_source::logistic:
      return "independent probabilities (the output comes from a final LOGISTIC)";
    case score_source::other:
      return "logits (the output comes from " + scores.name + ", neither SOFTMAX nor LOGISTIC)";
    case score_source::unknown:
      break;
  }
  const photo_size size = first->input_size();
  const std::vector<unsigned char> grey(static_cast<size_t>(size.width) * size.height * 3, 128);
  std::vector<ranked_class> all;
  if (!first->classify(grey, first->classes(), &all)) {
    return "unknown (no operator of the graph makes them, and the model fails to run)";
  }
  const bool outside = std::any_of(all.begin(), all.end(), [](const ranked_class& c) {
    return !(c.score >= 0.0f && c.score <= 1.0f);
  });
  return outside ? "logits (no operator of the graph says, and a grey picture scores outside 0 "
                   "to 1)"
                 : "taken as probabilities (no operator of the graph says, and a grey picture "
                   "scores within 0 to 1)";
}

std::string conversion_text(score_conversion conversion) {
  switch (conversion) {
    case score_conversion::softmax:
      return "; --scores softmax turns them into probabilities that sum to 1";
    case score_conversion::sigmoid:
      return "; --scores sigmoid turns each into a probability";
    case score_conversion::as_given:
      break;
  }
  return "";
}

std::string labelling_text(const class_selection& selection, size_t classes) {
  std::string text = selection.multi_label ? "multi-label (" : "single-label (";
  text += selection.multi_label_source + "): ";
  if (selection.multi_label) {
    text += "every class";
  } else {
    text += selection.top == 1 ? "the best class"
                               : "the " + std::to_string(selection.top) + " best classes";
  }
  if (selection.thresholded) text += " scoring at least " + number_text(selection.threshold);
  if (selection.multi_label && selection.top < classes) {
    text += ", at most " + std::to_string(selection.top);
  }
  if (!selection.allowed.empty()) {
    text += std::string(selection.allow_list ? ", among " : ", except ") +
            std::to_string(selection.listed.size()) + " classes named";
  }
  return text;
}

}  // namespace

result<model_setup> set_up_model(const photos_options& options, const loaded_model& model,
                                 const classifier& first) {
  model_setup setup;
  setup.metadata = read_metadata(model.bytes, model.size, first.input().position,
                                 first.output().position, &setup.warnings);
  choose_normalization(options, model, first, &setup);
  if (const outcome chosen = choose_labels(options, model, &setup); !chosen) return chosen.error();
  result<category_map> categories =
      choose_category_map(options.categories, &setup.labels, first.classes());
  if (!categories) return categories.error();
  setup.categories = std::move(*categories);
  setup.scores = scores_made_by(model.bytes, model.size, first.output().position);
  result<class_selection> selection = choose_selection(
      options, setup.have_labels ? &setup.labels : nullptr,
      setup.categories.in_use() ? &setup.categories : nullptr, first.classes(), setup.scores);
  if (!selection) return selection.error();
  setup.selection = std::move(*selection);
  return setup;
}

std::string describe_model(const photos_options& options, classifier& first,
                           const model_setup& setup) {
  std::ostringstream text;
  const tensor_facts& in = first.input();
  const tensor_facts& out = first.output();
  text << "model: " << options.model << "\n";
  text << "kernels: " << kernel_text(options.kernels, first.kernels()) << "\n";
  text << tensor_line("input", in) << quantization(in) << "\n";
  text << "  photographs prepared at " << first.input_size().width << "x"
       << first.input_size().height << ", " << layout_text(first.input_image())
       << "; values fed: " << values_fed(in.type) << "\n";
  text << "normalization: mean " << channels(setup.norm.mean) << " (" << setup.mean_source
       << "), std " << channels(setup.norm.std) << " (" << setup.std_source << ")"
       << (in.type == kTfLiteFloat32 ? "" : "; a float input's only, not used here") << "\n";
  text << tensor_line("output", out) << quantization(out) << "\n";
  text << "  " << first.classes() << " classes; a score is "
       << (out.type == kTfLiteFloat32 ? "the output value as it is" : "scale * (q - zero point)")
       << ", with no softmax added\n";
  text << "  scores: " << scores_text(setup.scores, &first) << conversion_text(options.scores)
       << "\n";
  text << "  " << labelling_text(setup.selection, first.classes()) << "\n";
  if (setup.have_labels) {
    text << "labels: " << setup.labels.size() << " from " << setup.labels_source << ": "
         << first_labels(setup.labels) << "\n";
  } else {
    text << "labels: none\n";
  }
  for (const label_file& file : setup.metadata.label_files) {
    text << "  the model's label file: " << file.name
         << (file.locale.empty() ? "" : ", locale " + file.locale) << "\n";
  }
  text << "categories: " << category_summary(setup.categories) << "\n";
  if (!setup.metadata.present) {
    text << "metadata: none\n";
  } else {
    text << "metadata:";
    const std::pair<const char*, const std::string*> fields[] = {
        {"name", &setup.metadata.name},
        {"version", &setup.metadata.version},
        {"author", &setup.metadata.author},
        {"license", &setup.metadata.license}};
    for (const auto& [key, value] : fields) {
      if (!value->empty()) text << "\n  " << key << ": " << *value;
    }
    text << "\n";
  }
  return text.str();
}

}  // namespace classify
