// Error values and the Result type that carries them between modules.
//
// An Error holds the one-line description of the operation that failed, in the words of whoever
// failed (the OS, QEMU, the JSON parser). Callers add their fixed prefixes; nothing below them
// does.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace tovan {

struct Error {
  std::string description;
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
