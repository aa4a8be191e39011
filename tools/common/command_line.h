#pragma once
// The command line of the photograph tools, parsed with CLI11 (arguments as
// UTF-8 on every system), with every complaint in the program's own words and
// one exit status for bad usage, 2.

#include <CLI/CLI.hpp>
#include <optional>
#include <string>

namespace classify {

// The exit status of bad usage.
inline constexpr int usage_status = 2;

// "PROGRAM: MESSAGE", then "Try 'PROGRAM --help'.", on standard error;
// returns usage_status.
int usage_error(const std::string& program, const std::string& message);

// Parses the command line into `app`. Returns nothing to go on, or the exit
// status: 0 after --help or --version (CLI11's flags, answered on standard
// output), or usage_status after an unknown option, an unexpected argument,
// an option without its value, a value its check refuses ("--jobs 0: not a
// number from 1 to 256", where the check's message begins with the value) or
// an option without one it needs ("--xmp-name needs --xmp"), said by
// usage_error.
std::optional<int> parse_command_line(CLI::App& app, const std::string& program, int argc,
                                      char** argv);

// `text` as a whole number from `low` to `high`; false otherwise.
bool whole_number(const std::string& text, long low, long high, long* value);

// `text` as a fraction above 0 and at most 1; false otherwise.
bool fraction(const std::string& text, double* value);

// `value` as text that reads back as the same number: 17 significant digits
// for a double, 9 for a float (a value given on a command line passed on to
// another, or part of a key).
std::string exact_text(double value);
std::string exact_text(float value);

}  // namespace classify
