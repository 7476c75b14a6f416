// JsonValue: the one document value of the system (null, boolean, number, string, array, object).
//
// Values own everything inside them and are move-only: a deep copy is always asked for by name
// (`copy()`), so no walk copies a document by accident. Copy, equality and compact text keep their
// own work lists, and release takes a value apart in place, so a value of any depth is safe to
// copy, compare, print and drop; dropping one never allocates.
#pragma once

#include <bit>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillfen {

// A number keeps one of three representations, and keeps it through copying, storing and reading.
class JsonNumber {
 public:
  enum class Kind : std::uint8_t { Unsigned, Negative, Double };

  // Zero and above become Unsigned, below zero Negative: one value never has two representations.
  static constexpr JsonNumber from_signed(std::int64_t v) noexcept {
    return v < 0 ? JsonNumber(Kind::Negative, static_cast<std::uint64_t>(v)) : JsonNumber(Kind::Unsigned, static_cast<std::uint64_t>(v));
  }
  static constexpr JsonNumber from_unsigned(std::uint64_t v) noexcept { return JsonNumber(Kind::Unsigned, v); }
  // `v` must be finite; callers turn NaN and infinities into something else first.
  static constexpr JsonNumber from_double(double v) noexcept { return JsonNumber(Kind::Double, std::bit_cast<std::uint64_t>(v)); }

  constexpr Kind kind() const noexcept { return kind_; }
  constexpr bool is_unsigned() const noexcept { return kind_ == Kind::Unsigned; }
  constexpr bool is_negative() const noexcept { return kind_ == Kind::Negative; }
  constexpr bool is_double() const noexcept { return kind_ == Kind::Double; }
  constexpr std::uint64_t as_unsigned() const noexcept { return bits_; }
  constexpr std::int64_t as_negative() const noexcept { return static_cast<std::int64_t>(bits_); }
  constexpr double as_double() const noexcept { return std::bit_cast<double>(bits_); }

  // Same kind and value; doubles compare as IEEE 754 (0.0 == -0.0); 1 != 1.0.
  friend constexpr bool operator==(const JsonNumber& a, const JsonNumber& b) noexcept {
    if (a.kind_ != b.kind_) return false;
    return a.kind_ == Kind::Double ? a.as_double() == b.as_double() : a.bits_ == b.bits_;
  }

 private:
  friend class JsonValue;
  constexpr JsonNumber(Kind kind, std::uint64_t bits) noexcept : kind_(kind), bits_(bits) {}
  Kind kind_;
  std::uint64_t bits_;  // Unsigned; Negative as two's complement; Double as its IEEE 754 bits
};

class JsonValue;
class JsonObject;
using JsonArray = std::vector<JsonValue>;

class JsonValue {
 public:
  enum class Kind : std::uint8_t { Null, Boolean, Number, String, Array, Object };

  JsonValue() noexcept : kind_(Kind::Null), num_kind_(JsonNumber::Kind::Unsigned), payload_{.bits = 0} {}
  explicit JsonValue(bool b) noexcept : kind_(Kind::Boolean), num_kind_(JsonNumber::Kind::Unsigned), payload_{.bits = b ? 1U : 0U} {}
  explicit JsonValue(JsonNumber n) noexcept : kind_(Kind::Number), num_kind_(n.kind_), payload_{.bits = n.bits_} {}
  explicit JsonValue(std::string s);
  explicit JsonValue(std::string_view s) : JsonValue(std::string(s)) {}
  explicit JsonValue(const char* s) : JsonValue(std::string(s)) {}
  explicit JsonValue(JsonArray a);
  explicit JsonValue(JsonObject o);

  JsonValue(JsonValue&& other) noexcept : kind_(other.kind_), num_kind_(other.num_kind_), payload_(other.payload_) {
    other.kind_ = Kind::Null;
  }
  JsonValue& operator=(JsonValue&& other) noexcept {
    if (this != &other) {
      JsonValue old(std::move(*this));  // released after the new content is in place
      kind_ = other.kind_;
      num_kind_ = other.num_kind_;
      payload_ = other.payload_;
      other.kind_ = Kind::Null;
    }
    return *this;
  }
  JsonValue(const JsonValue&) = delete;
  JsonValue& operator=(const JsonValue&) = delete;
  ~JsonValue() {
    if (kind_ >= Kind::String) release();
  }

  // A deep copy: the result shares nothing with this value.
  JsonValue copy() const;

  Kind kind() const noexcept { return kind_; }
  bool is_null() const noexcept { return kind_ == Kind::Null; }
  bool is_boolean() const noexcept { return kind_ == Kind::Boolean; }
  bool is_number() const noexcept { return kind_ == Kind::Number; }
  bool is_string() const noexcept { return kind_ == Kind::String; }
  bool is_array() const noexcept { return kind_ == Kind::Array; }
  bool is_object() const noexcept { return kind_ == Kind::Object; }
  bool is_container() const noexcept { return kind_ >= Kind::Array; }

  // Each accessor requires the matching kind.
  bool as_bool() const noexcept { return payload_.bits != 0; }
  JsonNumber as_number() const noexcept { return JsonNumber(num_kind_, payload_.bits); }
  const std::string& as_string() const noexcept { return *payload_.string; }
  std::string& as_string() noexcept { return *payload_.string; }
  const JsonArray& as_array() const noexcept { return *payload_.array; }
  JsonArray& as_array() noexcept { return *payload_.array; }
  const JsonObject& as_object() const noexcept { return *payload_.object; }
  JsonObject& as_object() noexcept { return *payload_.object; }

  // Structural equality: same kinds all the way down; 1 != 1.0; 0.0 == -0.0; objects by members.
  // Containers are compared from a work list, which allocates: not noexcept.
  friend bool operator==(const JsonValue& a, const JsonValue& b);
  friend bool operator!=(const JsonValue& a, const JsonValue& b) { return !(a == b); }

  // JSON text with no whitespace; object members in key order; doubles in their shortest
  // round-trip form, always with a decimal point or an exponent.
  std::string compact_text() const;

 private:
  void release() noexcept;
  static void release_deep(JsonValue& root) noexcept;

  // Copied whole when a value moves, so whichever member is active stays so.
  union Payload {
    std::uint64_t bits;  // booleans and numbers
    std::string* string;
    JsonArray* array;
    JsonObject* object;
  };

  Kind kind_;
  JsonNumber::Kind num_kind_;  // meaningful for numbers only
  Payload payload_;
};

// `text` as a JSON string, quoted and escaped as in compact text: "a\"b".
std::string quoted(std::string_view text);

struct JsonMember {
  std::string key;
  JsonValue value;
};

// Members with unique keys, held and walked in ascending byte order of the keys (a key that is a
// prefix of another comes first). A sorted vector: documents are built and walked far more often
// than they are searched, and a vector is the fastest thing to build, walk and copy. Lookup is a
// binary search; putting or removing one member in the middle moves the members behind it, so
// code that changes many members at once collects them and calls `merge_members`.
class JsonObject {
 public:
  using iterator = std::vector<JsonMember>::iterator;
  using const_iterator = std::vector<JsonMember>::const_iterator;

  JsonObject() = default;
  JsonObject(JsonObject&&) noexcept = default;
  JsonObject& operator=(JsonObject&&) noexcept = default;
  JsonObject(const JsonObject&) = delete;
  JsonObject& operator=(const JsonObject&) = delete;

  // Members in any order; where a key repeats, the later member wins.
  static JsonObject from_members(std::vector<JsonMember> members);

  std::size_t size() const noexcept { return members_.size(); }
  bool empty() const noexcept { return members_.empty(); }
  void reserve(std::size_t n) { members_.reserve(n); }

  const JsonValue* find(std::string_view key) const noexcept;
  JsonValue* find(std::string_view key) noexcept;
  // The position of the member under `key` in key order, or none.
  std::optional<std::size_t> position_of(std::string_view key) const noexcept;

  // Puts `value` under `key`; gives back the value it replaced, if any.
  std::optional<JsonValue> insert(std::string key, JsonValue value);
  // Removes the member under `key`; gives back its value, if any.
  std::optional<JsonValue> remove(std::string_view key);

  // Appends a member whose key sorts after every key held; the caller guarantees the order.
  void append_in_order(std::string key, JsonValue value) { members_.push_back(JsonMember{std::move(key), std::move(value)}); }

  // Puts every member of `members` (any order, later duplicates win) into this object in one pass;
  // each replaces the member of the same key, if any.
  void merge_members(std::vector<JsonMember> members);

  iterator begin() noexcept { return members_.begin(); }
  iterator end() noexcept { return members_.end(); }
  const_iterator begin() const noexcept { return members_.begin(); }
  const_iterator end() const noexcept { return members_.end(); }
  // The members in key order. Changing a key through this breaks the object's order: don't.
  std::vector<JsonMember>& members() noexcept { return members_; }
  const std::vector<JsonMember>& members() const noexcept { return members_; }

 private:
  std::vector<JsonMember> members_;
};

}  // namespace quillfen
