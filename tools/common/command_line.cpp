#include "tools/common/command_line.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <vector>

#include "platform/platform.h"

namespace classify {

int usage_error(const std::string& program, const std::string& message) {
  std::cerr << program << ": " << message << "\nTry '" << program << " --help'.\n";
  return usage_status;
}

namespace {

// What is left over after the options, said as an unknown option or an
// unexpected argument; "" when nothing is.
std::string left_over(const CLI::App& app) {
  for (const std::string& extra : app.remaining()) {
    if (extra == "--") continue;  // the end of the options, which CLI11 leaves over
    if (extra.size() > 1 && extra[0] == '-') return "unknown option " + extra;
    return "unexpected argument " + extra;
  }
  return "";
}

// A value refused by a check, or an option given without one it needs, in
// the tools' words. CLI11 says "NAME: VALUE: REASON" for the first (the
// tools' checks begin their message with the value) and "NAME requires
// OTHER" for the second.
std::string own_words(const CLI::ParseError& e, bool refused_value) {
  std::string what = e.what();
  const std::string joint = refused_value ? ": " : " requires ";
  const size_t at = what.find(joint);
  if (at != std::string::npos) what.replace(at, joint.size(), refused_value ? " " : " needs ");
  return what;
}

}  // namespace

std::optional<int> parse_command_line(CLI::App& app, const std::string& program, int argc,
                                      char** argv) {
  // What CLI11 does not know is collected, and said here.
  app.allow_extras();
  std::vector<std::string> arguments = program_arguments(argc, argv);
  std::vector<char*> utf8_argv;
  for (std::string& argument : arguments) utf8_argv.push_back(argument.data());
  try {
    app.parse(static_cast<int>(utf8_argv.size()), utf8_argv.data());
  } catch (const CLI::Success& e) {
    app.exit(e);
    return 0;
  } catch (const CLI::ArgumentMismatch& e) {
    const std::string what = e.what();
    return usage_error(program, "option " + what.substr(0, what.find(':')) + " needs a value");
  } catch (const CLI::ValidationError& e) {
    // Values are checked once every argument is read: a mistyped option
    // among them is said first, as it would be without the check.
    const std::string extra = left_over(app);
    return usage_error(program, extra.empty() ? own_words(e, true) : extra);
  } catch (const CLI::RequiresError& e) {
    const std::string extra = left_over(app);
    return usage_error(program, extra.empty() ? own_words(e, false) : extra);
  } catch (const CLI::ParseError& e) {
    return usage_error(program, e.what());
  }
  const std::string extra = left_over(app);
  if (!extra.empty()) return usage_error(program, extra);
  return std::nullopt;
}

bool whole_number(const std::string& text, long low, long high, long* value) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos ||
      text.size() > 12) {
    return false;
  }
  *value = std::strtol(text.c_str(), nullptr, 10);
  return *value >= low && *value <= high;
}

bool fraction(const std::string& text, double* value) {
  char* end = nullptr;
  errno = 0;
  *value = std::strtod(text.c_str(), &end);
  return !text.empty() && *end == '\0' && errno == 0 && *value > 0.0 && *value <= 1.0;
}

std::string exact_text(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

std::string exact_text(float value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.9g", static_cast<double>(value));
  return text;
}

}  // namespace classify
