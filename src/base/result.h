// Error values and the Result type that carries them between modules.
//
// How errors travel:
//   - Created once, where an operation fails, holding its one-line description in the words of
//     whoever failed: the OS (errorFromErrno, pathError), QEMU, the JSON parser, the platform.
//   - Passed up unchanged by everything in between: a Result<T> or Status returned as is, or an
//     optional<Error> handed to a completion. Nobody rewords or wraps a description on the way.
//   - Given a fixed prefix only at the end, by the callers of the event catalogue
//     (events/catalogue.h: "start failed: ", "save failed: "...) and by the command line's plain
//     texts ("failed to read config: ", "validation failed: ").
// No exceptions cross a module boundary.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace tovan {

struct Error {
  std::string description;
  // For a failed restore: the saved state itself is the reason (damaged, foreign, over a changed
  // disk, unreadable by this platform), not the host. Such a state is of no use to a later run.
  bool savedStateAtFault = false;
};

// Builds an Error from errno-style codes: "<what>: <strerror(code)>".
Error errorFromErrno(std::string_view what, int code);

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value)
      : value_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  Result(Error error) : value_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

  bool ok() const { return value_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(value_); }
  const T& value() const& { return std::get<0>(value_); }
  T&& value() && { return std::get<0>(std::move(value_)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }

  const Error& error() const { return std::get<1>(value_); }

 private:
  std::variant<T, Error> value_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : error_(std::move(error)), failed_(true) {}  // NOLINT

  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  const Error& error() const { return error_; }

 private:
  Error error_;
  bool failed_ = false;
};

using Status = Result<void>;

}  // namespace tovan
