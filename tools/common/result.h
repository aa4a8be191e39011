#pragma once
// What a function that can fail gives back from one part of a tool to
// another: its value, or the failure that left it without one, in the user's
// words. Only a program's main turns a failure into a message and an exit
// status, or ends the process by the signal that interrupted the work
// (interruptions.h): a part that cannot go on says so and returns.

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace classify {

// Why something failed.
struct failure {
  // What went wrong, ready for "PROGRAM: MESSAGE"; "" where it was said as
  // it happened (a batch's line for each photograph that failed).
  std::string message;
  // The signal that interrupted the work (Ctrl-C, a polite kill, a
  // connection that has gone), by which the process should end; 0 for none.
  int signal = 0;
};

// The failure of work that the signal `sig` interrupted.
inline failure interrupted_by(int sig) { return failure{"", sig}; }

// A `T`, or the failure that left none. Test it before taking the value,
// and take error() only where there is none.
template <typename T = void>
class [[nodiscard]] result {
 public:
  // By reference rather than value, so that `return value;` moves a local.
  result(const T& value) : state_(std::in_place_index<0>, value) {}
  result(T&& value) : state_(std::in_place_index<0>, std::move(value)) {}
  result(failure why) : state_(std::in_place_index<1>, std::move(why)) {}

  explicit operator bool() const { return state_.index() == 0; }
  T& operator*() { return std::get<0>(state_); }
  const T& operator*() const { return std::get<0>(state_); }
  T* operator->() { return &std::get<0>(state_); }
  const T* operator->() const { return &std::get<0>(state_); }
  const failure& error() const { return std::get<1>(state_); }

 private:
  std::variant<T, failure> state_;
};

// Done, or the failure that stopped it: what a function that has nothing
// else to give back returns.
template <>
class [[nodiscard]] result<void> {
 public:
  result() = default;
  result(failure why) : failure_(std::move(why)) {}

  explicit operator bool() const { return !failure_; }
  const failure& error() const { return *failure_; }

 private:
  std::optional<failure> failure_;
};

using outcome = result<>;

}  // namespace classify
