// PatchError: the one error type of the patch core, in seven kinds, each with a fixed message.
#pragma once

#include <cassert>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace quillfen {

class PatchError {
 public:
  // Who produces each kind:
  //   InvalidOperation   applying: a root that is no object or array, an operation an array does not take
  //   TypeMismatch       applying: a Test whose value differs
  //   KeyNotFound        applying: a Test of an absent member
  //   InvalidSerialKey   applying: a change at a serial no element carries
  //   JsonError          nothing today: kept for a reader of JSON text
  //   InvalidArrayIndex  nothing today: a malformed index key is a serial key, and one beyond the end
  //                      is passed over
  //   RecursionLimit     nothing today: every walk keeps its own stack, so no depth stops one; the
  //                      binding's depth limit raises RecursionError of its own
  enum class Kind { InvalidOperation, TypeMismatch, KeyNotFound, InvalidSerialKey, JsonError, InvalidArrayIndex, RecursionLimit };

  // An error of reading JSON text: its message, and where it arose when that is known.
  struct JsonReadError {
    std::string message;
    std::optional<std::pair<std::size_t, std::size_t>> line_column;
  };

  static PatchError invalid_operation(std::string message) { return PatchError(Kind::InvalidOperation, std::move(message)); }
  static PatchError type_mismatch(std::string expected, std::string found) {
    return PatchError(Kind::TypeMismatch, std::move(expected), std::move(found));
  }
  static PatchError key_not_found(std::string key) { return PatchError(Kind::KeyNotFound, std::move(key)); }
  static PatchError invalid_serial_key(std::string key) { return PatchError(Kind::InvalidSerialKey, std::move(key)); }
  static PatchError json_error(JsonReadError error);
  static PatchError invalid_array_index(std::string index) { return PatchError(Kind::InvalidArrayIndex, std::move(index)); }
  static PatchError recursion_limit() { return PatchError(Kind::RecursionLimit, std::string()); }

  Kind kind() const noexcept { return kind_; }
  // The payload texts: the message, key or index; for TypeMismatch `first` is expected and `second` found.
  const std::string& first() const noexcept { return first_; }
  const std::string& second() const noexcept { return second_; }

  // The message: the kind's literal pieces joined with the payload exactly as it is.
  std::string message() const;

 private:
  PatchError(Kind kind, std::string first, std::string second = std::string())
      : kind_(kind), first_(std::move(first)), second_(std::move(second)) {}
  Kind kind_;
  std::string first_;
  std::string second_;
};

// The value of an operation that can fail, or the error that stopped it: a PatchError unless the
// operation has an error type of its own.
template <class T, class E = PatchError>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::move(value)) {}
  Result(E error) : v_(std::move(error)) {}
  bool ok() const noexcept { return v_.index() == 0; }
  T& value() & {
    assert(ok());
    return *std::get_if<0>(&v_);
  }
  T&& value() && {
    assert(ok());
    return std::move(*std::get_if<0>(&v_));
  }
  const E& error() const {
    assert(!ok());
    return *std::get_if<1>(&v_);
  }

 private:
  std::variant<T, E> v_;
};

struct Done {};
using Status = Result<Done>;  // for operations that only change their argument

}  // namespace quillfen
