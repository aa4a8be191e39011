#include "tools/classify-photos/cli/option_table.h"

#include <cmath>
#include <cstdlib>
#include <sstream>

#include "tools/classify-photos/cli/options.h"
#include "tools/common/command_line.h"

namespace classify {

namespace {

// The help's columns: an option's text starts at the 20th, and no line is
// longer than 79 characters.
constexpr size_t text_column = 19;
constexpr size_t line_width = 79;

std::string number_range(const option_entry& entry) {
  return "from " + std::to_string(entry.low) +
         (entry.high == unbounded ? std::string() : " to " + std::to_string(entry.high));
}

const char fraction_range[] = "above 0 and at most 1";

std::vector<std::string> choice_names(const option_entry& entry) {
  std::vector<std::string> names;
  for (const option_choice& choice : entry.choices) names.push_back(choice.name);
  return names;
}

// Why a value is not of the entry's kind, or "".
std::string kind_refusal(const option_entry& entry, const std::string& value) {
  long whole = 0;
  double real = 0;
  char* end = nullptr;
  std::vector<float> values;
  switch (entry.kind) {
    case value_kind::none:
    case value_kind::text:
      return "";
    case value_kind::whole_number:
      // The tool's own reading: CLI::Range would read 010 as octal and 0x10
      // as hex, which the tool has never taken.
      return whole_number(value, entry.low, entry.high, &whole)
                 ? ""
                 : "not a number " + number_range(entry);
    case value_kind::fraction:
      return fraction(value, &real) ? "" : std::string("not a fraction ") + fraction_range;
    case value_kind::number:
      real = std::strtod(value.c_str(), &end);
      return *end == '\0' && std::isfinite(real) ? "" : "not a number";
    case value_kind::numbers:
      return parse_values(value, &values) ? "" : "not one number or three, separated by commas";
    case value_kind::choice: {
      std::string copy = value;
      return CLI::IsMember(choice_names(entry))(copy).empty()
                 ? ""
                 : "not " + spoken_list(choice_names(entry), "or");
    }
  }
  return "";
}

// What the help says in brackets after an option's text.
std::string bracketed(const option_entry& entry) {
  std::vector<std::string> parts;
  for (const std::string& needed : entry.needs) parts.push_back("with " + needed);
  if (entry.kind == value_kind::whole_number) {
    parts.push_back(entry.value_name + " " + number_range(entry));
  }
  if (entry.kind == value_kind::fraction) parts.push_back(entry.value_name + " " + fraction_range);
  if (!entry.default_text.empty()) parts.push_back("default: " + entry.default_text);
  if (parts.empty()) return "";
  std::string text = " (" + parts[0];
  for (size_t i = 1; i < parts.size(); ++i) text += "; " + parts[i];
  return text + ")";
}

// An entry's whole explanation: its help, its choices, then the brackets.
std::string explanation(const option_entry& entry) {
  std::string text = entry.help;
  if (!entry.choices.empty()) {
    std::vector<std::string> choices;
    for (const option_choice& choice : entry.choices) {
      choices.push_back(choice.note.empty() ? choice.name : choice.name + " (" + choice.note + ")");
    }
    text += (text.empty() ? "" : ": ") + spoken_list(choices, "or");
  }
  return text + bracketed(entry);
}

// The words of `text` in lines, the first `first_width` characters wide at
// most, the others `width` (a word longer than its line has one of its own).
std::vector<std::string> wrapped(const std::string& text, size_t first_width, size_t width) {
  std::vector<std::string> lines(1);
  std::istringstream words(text);
  for (std::string word; words >> word;) {
    std::string& line = lines.back();
    const size_t limit = lines.size() == 1 ? first_width : width;
    if (!line.empty() && line.size() + 1 + word.size() > limit) {
      lines.push_back(word);
    } else {
      line += (line.empty() ? "" : " ") + word;
    }
  }
  return lines;
}

// One paragraph: the names of a group down the left, its explanation beside
// them from the text column on (after a name too long for the column, two
// spaces after it).
std::string paragraph(const std::vector<const option_entry*>& group) {
  std::vector<std::string> names;
  for (const option_entry* entry : group) {
    names.push_back("  " + entry->name +
                    (entry->value_name.empty() ? "" : " " + entry->value_name));
  }
  const size_t first_start = std::max(text_column, names[0].size() + 2);
  const std::vector<std::string> text =
      wrapped(explanation(*group[0]), line_width - first_start, line_width - text_column);
  std::string lines;
  for (size_t i = 0; i < std::max(names.size(), text.size()); ++i) {
    std::string line = i < names.size() ? names[i] : "";
    if (i < text.size() && !text[i].empty()) {
      line.resize(std::max(i == 0 ? first_start : text_column, line.size() + 2), ' ');
      line += text[i];
    }
    lines += line + "\n";
  }
  return lines;
}

}  // namespace

option_entry flag_option(std::string name, bool* target, std::string help) {
  option_entry entry = plain_entry(std::move(name), "", value_kind::none);
  entry.flag = target;
  entry.help = std::move(help);
  return entry;
}

option_entry text_option(std::string name, std::string value_name, std::string* target,
                         std::string help) {
  option_entry entry = plain_entry(std::move(name), std::move(value_name), value_kind::text);
  entry.store = [target](const std::string& value) { *target = value; };
  entry.help = std::move(help);
  return entry;
}

option_entry repeated_option(std::string name, std::string value_name,
                             std::vector<std::string>* target, std::string help) {
  option_entry entry = plain_entry(std::move(name), std::move(value_name), value_kind::text);
  entry.repeatable = true;
  entry.values = target;
  entry.help = std::move(help);
  return entry;
}

option_entry fraction_option(std::string name, std::string value_name, double* target,
                             std::string help) {
  option_entry entry = plain_entry(std::move(name), std::move(value_name), value_kind::fraction);
  entry.store = [target](const std::string& value) { fraction(value, target); };
  entry.help = std::move(help);
  return entry;
}

option_entry number_option(std::string name, std::string value_name, double* target,
                           std::string help) {
  option_entry entry = plain_entry(std::move(name), std::move(value_name), value_kind::number);
  entry.store = [target](const std::string& value) {
    *target = std::strtod(value.c_str(), nullptr);
  };
  entry.help = std::move(help);
  return entry;
}

option_entry numbers_option(std::string name, std::string value_name, std::vector<float>* target,
                            std::string help) {
  option_entry entry = plain_entry(std::move(name), std::move(value_name), value_kind::numbers);
  entry.store = [target](const std::string& value) { parse_values(value, target); };
  entry.help = std::move(help);
  return entry;
}

option_entry whole_number_entry(std::string name, std::string value_name, long low, long high,
                                std::function<void(long)> store, std::string help) {
  option_entry entry =
      plain_entry(std::move(name), std::move(value_name), value_kind::whole_number);
  entry.low = low;
  entry.high = high;
  entry.store = [store = std::move(store), low, high](const std::string& value) {
    long number = 0;
    if (whole_number(value, low, high, &number)) store(number);
  };
  entry.help = std::move(help);
  return entry;
}

std::string refusal(const option_entry& entry, const std::string& value) {
  if (value.empty()) return "";
  const std::string why = kind_refusal(entry, value);
  if (!why.empty() || !entry.also) return why;
  return entry.also(value);
}

void add_options(CLI::App& app, const std::vector<option_entry>& entries) {
  for (const option_entry& entry : entries) {
    CLI::Option* option = nullptr;
    if (entry.kind == value_kind::none) {
      option = app.add_flag(entry.name, *entry.flag);
    } else if (entry.repeatable) {
      // One value each time: what follows it is a photograph.
      option = app.add_option(entry.name, *entry.values)->allow_extra_args(false);
    } else {
      const std::function<void(const std::string&)> store = entry.store;
      option = app.add_option_function<std::string>(entry.name, [store](const std::string& value) {
        if (!value.empty()) store(value);
      });
    }
    if (entry.kind != value_kind::none) {
      // CLI11 says a refused value as "NAME: MESSAGE": beginning the message
      // with the value lets the tool say "NAME VALUE: REASON"
      // (parse_command_line).
      option->check(CLI::Validator(
          [entry](std::string& value) {
            const std::string why = refusal(entry, value);
            return why.empty() ? why : value + ": " + why;
          },
          entry.value_name));
    }
  }
  // After all are added, so that an entry may need one further down.
  for (const option_entry& entry : entries) {
    for (const std::string& needed : entry.needs) app.get_option(entry.name)->needs(needed);
  }
}

std::string options_help(const std::vector<option_entry>& entries,
                         const std::map<std::string, std::string>& after) {
  std::string text;
  for (size_t i = 0; i < entries.size();) {
    std::vector<const option_entry*> group = {&entries[i]};
    for (++i; i < entries.size() && entries[i].shares_help; ++i) group.push_back(&entries[i]);
    text += paragraph(group);
    for (const option_entry* entry : group) {
      const auto more = after.find(entry->name);
      if (more != after.end()) text += more->second;
    }
  }
  return text;
}

std::string spoken_list(const std::vector<std::string>& words, const std::string& last_joint) {
  std::string text;
  for (size_t i = 0; i < words.size(); ++i) {
    if (i > 0) text += i + 1 == words.size() ? " " + last_joint + " " : ", ";
    text += words[i];
  }
  return text;
}

}  // namespace classify
