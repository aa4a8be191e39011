// Whole-process timing: runs each command in turn, alternating, a number of
// times in a working directory, and reports per command the median wall time
// with its spread, the peak resident memory and page faults (counted from the
// exec on, as perf stat counts them), the medians of any key=value
// figures the command prints on standard error, and each median as a ratio
// to the first command's (the baseline of the run).
//
//   process_bench [--runs N] [--warmup N] [--items N] [--floor START,WARM:FIGURE,WHOLE]
//                 [--batch-floor BATCH:COUNT,DECODE,START,WARM:FIGURE] --dir DIR
//                 NAME=COMMAND [NAME=COMMAND...]
//
// --floor also reports the whole run of command WHOLE against its floor: the
// start-up of command START (a process that does nothing) plus the warm
// invocation FIGURE (microseconds) that command WARM prints.
//
// --items N also reports, for commands that each handle N items (photographs),
// the items a second and their ratio to the baseline's.
//
// --batch-floor also reports the time a photograph of command BATCH takes
// (its whole run over COUNT photographs) against the floor of one: decoding
// it (command DECODE, a whole process) less a process start (command START),
// plus the warm invocation FIGURE (microseconds) that command WARM prints.
//
// COMMAND is a program path followed by space-separated arguments; an
// argument of the form VAR:=VALUE sets an environment variable instead.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iomanip>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/fault_counter.h"

using namespace classify;

namespace {

struct command {
  std::string name;
  std::vector<std::string> argv;
  std::vector<std::string> env;
  std::vector<double> wall_ms;
  std::vector<double> rss_mb;
  std::vector<double> faults;
  std::map<std::string, std::vector<double>> figures;
};

struct one_run {
  double wall_ms = 0;
  double rss_mb = 0;
  double faults = 0;
  std::string err;
  int status = 0;
};

command parse_command(const std::string& definition) {
  command c;
  const size_t eq = definition.find('=');
  if (eq == std::string::npos)
    throw CLI::ValidationError("command", "expected NAME=COMMAND: " + definition);
  c.name = definition.substr(0, eq);
  std::istringstream words(definition.substr(eq + 1));
  for (std::string word; words >> word;) {
    if (word.find(":=") != std::string::npos) {
      c.env.push_back(word.replace(word.find(":="), 2, "="));
    } else {
      c.argv.push_back(word);
    }
  }
  if (c.argv.empty()) throw CLI::ValidationError("command", "empty command: " + definition);
  return c;
}

one_run run_once(const command& c, const std::string& dir) {
  int err_pipe[2], go_pipe[2];
  if (pipe(err_pipe) != 0 || pipe(go_pipe) != 0) std::exit(2);
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    // The child waits until its fault counter is open, so that the count
    // starts at its exec.
    close(go_pipe[1]);
    char go = 0;
    if (read(go_pipe[0], &go, 1) != 1) _exit(126);
    close(go_pipe[0]);
    if (chdir(dir.c_str()) != 0) _exit(126);
    std::freopen("/dev/null", "w", stdout);
    dup2(err_pipe[1], 2);
    close(err_pipe[0]);
    for (const std::string& e : c.env) putenv(const_cast<char*>(e.c_str()));
    std::vector<char*> argv;
    for (const std::string& a : c.argv) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(err_pipe[1]);
  close(go_pipe[0]);
  const int counter = open_fault_counter(pid);
  if (write(go_pipe[1], "g", 1) != 1) std::exit(2);
  close(go_pipe[1]);
  one_run r;
  char chunk[4096];
  for (ssize_t n; (n = read(err_pipe[0], chunk, sizeof chunk)) > 0;) r.err.append(chunk, n);
  close(err_pipe[0]);
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  r.wall_ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  r.rss_mb = usage.ru_maxrss / 1024.0;
  // Where the kernel allows no counter, the process's own figure, which also
  // holds the faults of the forked child before its exec.
  const int64_t counted = read_fault_counter(counter);
  r.faults = counted >= 0 ? static_cast<double>(counted)
                          : static_cast<double>(usage.ru_minflt + usage.ru_majflt);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return r;
}

void collect_figures(const std::string& err, command* c) {
  std::istringstream words(err);
  for (std::string word; words >> word;) {
    const size_t eq = word.find('=');
    if (eq == std::string::npos) continue;
    char* end = nullptr;
    const double value = std::strtod(word.c_str() + eq + 1, &end);
    if (end != word.c_str() + eq + 1) c->figures[word.substr(0, eq)].push_back(value);
  }
}

double quantile(std::vector<double> v, double q) {
  std::sort(v.begin(), v.end());
  const double at = q * (v.size() - 1);
  const size_t lo = static_cast<size_t>(at);
  const size_t hi = std::min(lo + 1, v.size() - 1);
  return v[lo] + (v[hi] - v[lo]) * (at - lo);
}

std::string spread(const std::vector<double>& v) {
  std::ostringstream s;
  s << std::fixed << std::setprecision(2) << quantile(v, 0.5) << " [" << quantile(v, 0.25) << ".."
    << quantile(v, 0.75) << "]";
  return s.str();
}

const command* find_command(const std::vector<command>& commands, const std::string& name) {
  for (const command& c : commands) {
    if (c.name == name) return &c;
  }
  return nullptr;
}

// START,WARM:FIGURE,WHOLE: prints WHOLE / (START + FIGURE of WARM).
bool report_floor(const std::vector<command>& commands, const std::string& definition) {
  const size_t first = definition.find(','), second = definition.rfind(','),
               colon = definition.find(':');
  if (first == std::string::npos || second == first || colon == std::string::npos) return false;
  const command* start = find_command(commands, definition.substr(0, first));
  const command* warm = find_command(commands, definition.substr(first + 1, colon - first - 1));
  const command* whole = find_command(commands, definition.substr(second + 1));
  const std::string figure = definition.substr(colon + 1, second - colon - 1);
  if (start == nullptr || warm == nullptr || whole == nullptr || warm->figures.count(figure) == 0) {
    return false;
  }
  const double start_ms = quantile(start->wall_ms, 0.5);
  const double warm_ms = quantile(warm->figures.at(figure), 0.5) / 1000.0;
  const double whole_ms = quantile(whole->wall_ms, 0.5);
  std::cout << std::fixed << std::setprecision(2) << "floor ratio: " << whole->name << " "
            << whole_ms << " ms / (" << start->name << " start-up " << start_ms << " ms + "
            << warm->name << " warm invocation " << warm_ms << " ms) = x" << std::setprecision(3)
            << whole_ms / (start_ms + warm_ms) << "\n";
  return true;
}

// BATCH:COUNT,DECODE,START,WARM:FIGURE: prints BATCH / COUNT against
// DECODE - START + FIGURE of WARM.
bool report_batch_floor(const std::vector<command>& commands, const std::string& definition) {
  std::vector<std::string> parts;
  std::istringstream fields(definition);
  for (std::string part; std::getline(fields, part, ',');) parts.push_back(part);
  if (parts.size() != 4) return false;
  const size_t count_colon = parts[0].find(':'), figure_colon = parts[3].find(':');
  if (count_colon == std::string::npos || figure_colon == std::string::npos) return false;
  const command* batch = find_command(commands, parts[0].substr(0, count_colon));
  const double count = std::atof(parts[0].c_str() + count_colon + 1);
  const command* decode = find_command(commands, parts[1]);
  const command* start = find_command(commands, parts[2]);
  const command* warm = find_command(commands, parts[3].substr(0, figure_colon));
  const std::string figure = parts[3].substr(figure_colon + 1);
  if (batch == nullptr || decode == nullptr || start == nullptr || warm == nullptr ||
      !(count > 0) || warm->figures.count(figure) == 0) {
    return false;
  }
  const double per_photo_ms = quantile(batch->wall_ms, 0.5) / count;
  const double decode_ms = quantile(decode->wall_ms, 0.5);
  const double start_ms = quantile(start->wall_ms, 0.5);
  const double warm_ms = quantile(warm->figures.at(figure), 0.5) / 1000.0;
  const double floor_ms = decode_ms - start_ms + warm_ms;
  std::cout << std::fixed << std::setprecision(2) << "batch floor ratio: " << batch->name << " "
            << per_photo_ms << " ms a photograph / (" << decode->name << " " << decode_ms
            << " ms - " << start->name << " start-up " << start_ms << " ms + " << warm->name
            << " warm invocation " << warm_ms << " ms = " << floor_ms << " ms) = x"
            << std::setprecision(3) << per_photo_ms / floor_ms << "\n";
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 30;
  int warmup = 3;
  std::string dir = ".";
  std::string floor;
  std::string batch_floor;
  double items = 0;
  std::vector<std::string> definitions;
  CLI::App app{"Times whole processes, alternating, and reports medians as ratios to the first."};
  app.add_option("--runs", runs, "measured runs of each command")->check(CLI::PositiveNumber);
  app.add_option("--warmup", warmup, "unmeasured runs of each command first");
  app.add_option("--dir", dir, "working directory of the commands")->required();
  app.add_option("--floor", floor, "START,WARM:FIGURE,WHOLE: the whole run against its floor");
  app.add_option("--items", items, "items each command handles: also report items a second");
  app.add_option("--batch-floor", batch_floor,
                 "BATCH:COUNT,DECODE,START,WARM:FIGURE: a photograph of a batch against its floor");
  app.add_option("commands", definitions, "NAME=COMMAND, the first is the baseline")->required();
  CLI11_PARSE(app, argc, argv);

  std::vector<command> commands;
  try {
    for (const std::string& s : definitions) commands.push_back(parse_command(s));
  } catch (const CLI::Error& e) {
    std::cerr << "process_bench: " << e.what() << "\n";
    return 2;
  }
  for (int i = 0; i < warmup; ++i) {
    for (const command& c : commands) run_once(c, dir);
  }
  for (int i = 0; i < runs; ++i) {
    for (command& c : commands) {
      const one_run r = run_once(c, dir);
      if (r.status != 0) {
        std::cerr << "process_bench: " << c.name << " exited with " << r.status << ": " << r.err;
        return 1;
      }
      c.wall_ms.push_back(r.wall_ms);
      c.rss_mb.push_back(r.rss_mb);
      c.faults.push_back(r.faults);
      collect_figures(r.err, &c);
    }
  }

  const command& base = commands.front();
  const double base_wall = quantile(base.wall_ms, 0.5);
  std::cout << "whole process, " << runs << " alternating runs each in " << dir
            << " (median [p25..p75]):\n";
  for (const command& c : commands) {
    const double wall = quantile(c.wall_ms, 0.5);
    std::cout << "  " << std::left << std::setw(24) << c.name << " wall ms " << std::setw(22)
              << spread(c.wall_ms) << " x" << std::fixed << std::setprecision(3) << wall / base_wall
              << " of " << base.name << "   peak RSS MB " << std::setprecision(1)
              << quantile(c.rss_mb, 0.5) << "   page faults " << std::setprecision(0)
              << quantile(c.faults, 0.5) << "\n";
    if (items > 0) {
      std::cout << "      " << std::setw(20) << "items a second"
                << " " << std::setprecision(1) << items / (wall / 1000.0) << "  x"
                << std::setprecision(3) << base_wall / wall << " of " << base.name << "\n";
    }
    for (const auto& [key, values] : c.figures) {
      std::cout << "      " << std::setw(20) << key << " " << std::setw(22) << spread(values);
      const auto base_figure = base.figures.find(key);
      if (&c != &base && base_figure != base.figures.end()) {
        std::cout << " x" << std::setprecision(3)
                  << quantile(values, 0.5) / quantile(base_figure->second, 0.5) << " of "
                  << base.name;
      }
      std::cout << "\n";
    }
  }
  if (!floor.empty() && !report_floor(commands, floor)) {
    std::cerr << "process_bench: --floor " << floor << " does not name commands and a figure\n";
    return 2;
  }
  if (!batch_floor.empty() && !report_batch_floor(commands, batch_floor)) {
    std::cerr << "process_bench: --batch-floor " << batch_floor
              << " does not name commands and a figure\n";
    return 2;
  }
  return 0;
}
