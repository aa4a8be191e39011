#include "tools/classify-photos/output/report.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <optional>

#include "model/scores.h"

namespace classify {

namespace {

// A score as JSON gives numbers: the number the TSV line prints, six
// significant digits at most, so that the double nearest to that text is
// written back with the same digits (the float itself would show all of its
// own, 0.4471650123596191 for 0.447165).
nlohmann::ordered_json score_value(float score) {
  if (!std::isfinite(score)) return nlohmann::ordered_json(nullptr);
  return nlohmann::ordered_json(printed_score(score));
}

nlohmann::ordered_json label_value(const std::vector<std::string>* labels, int32_t index) {
  return labels != nullptr ? nlohmann::ordered_json(label_of(*labels, index))
                           : nlohmann::ordered_json(nullptr);
}

// The C0 controls and DEL: a terminal takes ESC as the start of a command.
bool is_control(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7f;
}

}  // namespace

std::string tsv_field(const std::string& text) {
  std::string field;
  field.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '\t':
        field += "\\t";
        break;
      case '\n':
        field += "\\n";
        break;
      case '\r':
        field += "\\r";
        break;
      case '\\':
        field += "\\\\";
        break;
      case '\b':
        field += "\\b";
        break;
      case '\f':
        field += "\\f";
        break;
      default:
        if (is_control(c)) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(c));
          field += escaped;
        } else {
          field += c;
        }
    }
  }
  return field;
}

std::string valid_utf8(const std::string& text) {
  // nlohmann's writer replaces what is not UTF-8 as the JSON lines have it;
  // its reader gives the text back.
  const std::string json =
      nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  return nlohmann::json::parse(json).get<std::string>();
}

double printed_score(float score) { return std::strtod(score_text(score).c_str(), nullptr); }

std::string tsv_line(const classified_photo& photo) {
  std::string line = tsv_field(photo.path);
  if (photo.classes.empty()) line += "\tunsure";
  for (const class_score& c : photo.classes) {
    line += '\t' + std::to_string(c.index) + '\t' + score_text(c.score);
    if (photo.labels != nullptr) line += '\t' + tsv_field(label_of(*photo.labels, c.index));
    if (photo.category_column) {
      line += '\t';
      if (photo.categories != nullptr)
        line += tsv_field(path_text(photo.categories->path_of(c.index)));
    }
  }
  if (photo.truth != nullptr) {
    line += '\t' + (photo.truth->index >= 0 ? std::to_string(photo.truth->index) : std::string());
  }
  return line + '\n';
}

std::string json_line(const classified_photo& photo) {
  const bool unsure = photo.classes.empty();
  const class_score best = unsure ? class_score{} : photo.classes.front();
  nlohmann::ordered_json object = {{"path", photo.path}};
  object["index"] = unsure ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(best.index);
  object["probability"] = unsure ? nlohmann::ordered_json(nullptr) : score_value(best.score);
  object["label"] =
      unsure ? nlohmann::ordered_json(nullptr) : label_value(photo.labels, best.index);
  if (photo.categories != nullptr) {
    object["category"] = unsure ? nlohmann::ordered_json(nullptr)
                                : nlohmann::ordered_json(photo.categories->path_of(best.index));
  }
  nlohmann::ordered_json classes = nlohmann::ordered_json::array();
  for (const class_score& c : photo.classes) {
    nlohmann::ordered_json one = {{"index", c.index},
                                  {"score", score_value(c.score)},
                                  {"label", label_value(photo.labels, c.index)}};
    if (photo.categories != nullptr) one["category"] = photo.categories->path_of(c.index);
    classes.push_back(std::move(one));
  }
  object["classes"] = std::move(classes);
  if (unsure) object["unsure"] = true;
  if (photo.truth != nullptr) {
    const int32_t truth = photo.truth->index;
    object["truth"] =
        truth >= 0
            ? nlohmann::ordered_json{{"index", truth}, {"label", label_value(photo.labels, truth)}}
            : nlohmann::ordered_json(nullptr);
    object["correct"] = truth >= 0 ? nlohmann::ordered_json(!unsure && best.index == truth)
                                   : nlohmann::ordered_json(nullptr);
    // By category, the one verdict a truth that names a category has.
    if (photo.categories != nullptr) {
      const std::optional<bool> right = category_right(*photo.categories, *photo.truth, best.index);
      object["category_correct"] =
          right ? nlohmann::ordered_json(*right) : nlohmann::ordered_json(nullptr);
    }
  }
  return object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + '\n';
}

std::string error_line(const std::string& path, const std::string& reason) {
  return "classify-photos: " + tsv_field(path) + ": " + tsv_field(reason) + '\n';
}

}  // namespace classify
