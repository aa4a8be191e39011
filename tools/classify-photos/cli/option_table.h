#pragma once
// The options of classify-photos as data: each one declared once, with its
// value, what it accepts, what it needs, its default and its help. CLI11
// parses and checks the command line from the table, --help is written from
// it, and a test holds the manual page to it, so that the three cannot drift
// apart.

#include <CLI/CLI.hpp>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "tools/classify-photos/layers.h"

CLASSIFY_PHOTOS_IN_LAYER(cli);

namespace classify {

// What an option's value is: it says how the value is checked, and what the
// help says of it.
enum class value_kind {
  none,          // a flag
  text,          // taken as it is: a file, a folder, a login, a name
  whole_number,  // digits only, from low to high
  fraction,      // above 0 and at most 1
  number,        // any finite number
  numbers,       // one finite number or three, separated by commas
  choice,        // one of the names of `choices`
};

// The highest whole number of an option that has no limit of its own (the
// model or the batch sets it later); its help and messages name no upper end.
inline constexpr long unbounded = 1L << 30;

struct option_choice {
  std::string name;
  std::string note;  // what the help says of it, "" for nothing
};

struct option_entry {
  std::string name;        // "--top"
  std::string value_name;  // "K", as the help and the manual page write it; "" for a flag
  value_kind kind = value_kind::none;
  long low = 0, high = 0;  // a whole number's range
  std::vector<option_choice> choices;
  std::string default_text;        // what --help and the manual page say after "default:"
  std::vector<std::string> needs;  // options that must be given with it
  bool repeatable = false;         // one value each time, all kept
  bool shares_help = false;        // explained together with the entry before it
  std::string help;
  // Where the value goes. A flag sets `flag`; a repeatable option appends
  // to `values`; any other hands its checked value to `store`.
  bool* flag = nullptr;
  std::vector<std::string>* values = nullptr;
  std::function<void(const std::string&)> store;
  // A further check of the value beyond its kind's: why it is refused, or
  // "" when it is taken.
  std::function<std::string(const std::string&)> also;

  option_entry by_default(std::string text) && {
    default_text = std::move(text);
    return std::move(*this);
  }
  option_entry needing(std::string option) && {
    needs.push_back(std::move(option));
    return std::move(*this);
  }
  option_entry checked(std::function<std::string(const std::string&)> check) && {
    also = std::move(check);
    return std::move(*this);
  }
  // Sets *given when the option is given, whatever its value.
  option_entry marks(bool* given) && {
    store = [given, store = std::move(store)](const std::string& value) {
      store(value);
      *given = true;
    };
    return std::move(*this);
  }
  option_entry same_help_as_above() && {
    shares_help = true;
    return std::move(*this);
  }
};

// An entry with its name, value and kind, the rest as declared above.
inline option_entry plain_entry(std::string name, std::string value_name, value_kind kind) {
  option_entry entry;
  entry.name = std::move(name);
  entry.value_name = std::move(value_name);
  entry.kind = kind;
  return entry;
}

// The kinds of entry, each with where its value goes.
option_entry flag_option(std::string name, bool* target, std::string help);
option_entry text_option(std::string name, std::string value_name, std::string* target,
                         std::string help);
option_entry repeated_option(std::string name, std::string value_name,
                             std::vector<std::string>* target, std::string help);
option_entry fraction_option(std::string name, std::string value_name, double* target,
                             std::string help);
option_entry number_option(std::string name, std::string value_name, double* target,
                           std::string help);
option_entry numbers_option(std::string name, std::string value_name, std::vector<float>* target,
                            std::string help);
option_entry whole_number_entry(std::string name, std::string value_name, long low, long high,
                                std::function<void(long)> store, std::string help);

template <typename Integer>
option_entry whole_number_option(std::string name, std::string value_name, long low, long high,
                                 Integer* target, std::string help) {
  return whole_number_entry(
      std::move(name), std::move(value_name), low, high,
      [target](long value) { *target = static_cast<Integer>(value); }, std::move(help));
}

template <typename Choice>
struct named_choice {
  std::string name;
  Choice value;
  std::string note;
};

template <typename Choice>
option_entry choice_option(std::string name, std::string value_name, Choice* target,
                           std::vector<named_choice<Choice>> choices, std::string help) {
  option_entry entry = plain_entry(std::move(name), std::move(value_name), value_kind::choice);
  for (const named_choice<Choice>& choice : choices)
    entry.choices.push_back({choice.name, choice.note});
  entry.store = [target, choices](const std::string& value) {
    for (const named_choice<Choice>& choice : choices) {
      if (choice.name == value) *target = choice.value;
    }
  };
  entry.help = std::move(help);
  return entry;
}

// Why `value` is refused for `entry` ("not a number from 1 to 256"), or ""
// when it is taken. An empty value is taken as the option not given, as the
// tool always has (a script's empty variable).
std::string refusal(const option_entry& entry, const std::string& value);

// Adds the entries to `app`: each value checked by CLI11 as it parses (a
// refused one said as "--jobs 0: not a number from 1 to 256"), each entry's
// needs given to CLI11 as well.
void add_options(CLI::App& app, const std::vector<option_entry>& entries);

// The help of the entries, an entry (or a group that shares its help) a
// paragraph wrapped to 79 columns: the help, then the choices, then in
// brackets what it needs, its range and its default. `after` gives lines to
// put after an option's paragraph, by its name.
std::string options_help(const std::vector<option_entry>& entries,
                         const std::map<std::string, std::string>& after = {});

struct photos_options;

// The options a user gives, bound to `options`, in the order --help lists
// them.
std::vector<option_entry> user_options(photos_options* options);

// The options that only the tool gives itself, to the jobs and the far side
// of a batch over --sshlogin (remote/): never in --help or the manual page,
// and none on Windows, which runs no such batch.
std::vector<option_entry> far_side_options(photos_options* options);

// "a", "a or b", "a, b or c".
std::string spoken_list(const std::vector<std::string>& words, const std::string& last_joint);

}  // namespace classify
