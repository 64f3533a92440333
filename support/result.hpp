// The outcome of an operation that can fail: its value, or why not.
//
// Result<T, E> has the shape of C++23's std::expected<T, E>: has_value()
// and a bool conversion, *, ->, value(), value_or() and error(). It is our
// own because the clang that builds the fuzz targets on Debian 12 cannot
// compile libstdc++ 12's <expected>, and Debian 12 packages no
// implementation of it; once both compilers take std::expected, Result
// becomes an alias of it. The class is [[nodiscard]], so no function that
// returns one can have its outcome dropped unnoticed.
//
// Failures: E is Failure for the production layer and the support it uses
// to run programs (a message for people and what kind of failure it is),
// std::error_code for the file operations of support/, whose callers add
// the path and the words.
#pragma once

#include <string>
#include <system_error>
#include <type_traits>
#include <utility>
#include <variant>

namespace calib {

// Why an operation did not give its value.
struct Failure {
  enum class Kind {
    Error,    // it failed: the message says what and why
    Absent,   // what was asked for is not there (no such database, no match)
    Stopped,  // a termination signal stopped it: the caller ends by that signal
  };
  Kind kind = Kind::Error;
  // For people: what failed and why. Empty when it was reported already
  // where it happened (a batch's messages and table say which files failed).
  std::string message;
  int signal = 0;  // Stopped: the signal

  bool absent() const { return kind == Kind::Absent; }
  bool stopped() const { return kind == Kind::Stopped; }
};

inline Failure failed(std::string message) { return Failure{Failure::Kind::Error, std::move(message), 0}; }
inline Failure absent(std::string message) { return Failure{Failure::Kind::Absent, std::move(message), 0}; }
inline Failure stoppedBy(int signal) { return Failure{Failure::Kind::Stopped, "", signal}; }
// A failure whose details were printed already.
inline Failure reported() { return Failure{}; }

template <typename T, typename E = Failure>
class [[nodiscard]] Result {
  static_assert(!std::is_same_v<std::remove_cv_t<T>, E>, "a Result's value and failure must be of different types");

 public:
  // A value, or anything a value is made from.
  template <typename U = T,
            typename = std::enable_if_t<std::is_constructible_v<T, U&&> &&
                                        !std::is_same_v<std::remove_cvref_t<U>, Result> &&
                                        !std::is_same_v<std::remove_cvref_t<U>, E>>>
  Result(U&& value) : state_(std::in_place_index<0>, std::forward<U>(value)) {}
  Result(E failure) : state_(std::in_place_index<1>, std::move(failure)) {}

  bool has_value() const { return state_.index() == 0; }
  explicit operator bool() const { return has_value(); }

  // The value; only when there is one (std::bad_variant_access otherwise).
  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  template <typename U>
  T value_or(U&& otherwise) const& {
    return has_value() ? value() : static_cast<T>(std::forward<U>(otherwise));
  }
  template <typename U>
  T value_or(U&& otherwise) && {
    return has_value() ? std::move(value()) : static_cast<T>(std::forward<U>(otherwise));
  }

  // The failure; only when there is no value.
  const E& error() const& { return std::get<1>(state_); }
  E&& error() && { return std::get<1>(std::move(state_)); }

 private:
  std::variant<T, E> state_;
};

// An operation that gives nothing but success or its failure.
template <typename E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;
  Result(E failure) : failure_(std::move(failure)), failed_(true) {}

  bool has_value() const { return !failed_; }
  explicit operator bool() const { return has_value(); }
  const E& error() const& { return failure_; }
  E&& error() && { return std::move(failure_); }

 private:
  E failure_{};
  bool failed_ = false;
};

}  // namespace calib
