// How patch keys reach array elements: by position (an index key such as "[3]", top level only) or
// by serial (the string an element object carries in its member "_").
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/key_table.h"
#include "json_value/json_value.h"

namespace quillfen {

// The position an index key names: "[" + an optional "+" + decimal digits (leading zeros allowed,
// at most 2^64 - 1) + "]". None for every other key, which is then a serial key, brackets and all.
std::optional<std::uint64_t> parse_index_key(std::string_view key) noexcept;

// The serial of an element: the string in its member "_", when it is an object and "_" holds a
// string; null otherwise. The pointer lives as long as the element is unchanged.
const std::string* serial_of(const JsonValue& element) noexcept;

// Serial -> position of the last element that carried it when the index was built. The index owns
// copies of the serials, so replacing or changing elements afterwards cannot leave it dangling; it
// is not updated by such changes either. Filled by `add`, one element at a time, in element order,
// by whatever walks the array (the core's own arrays, or a binding's).
class SerialIndex {
 public:
  SerialIndex() = default;
  SerialIndex(SerialIndex&&) noexcept = default;
  SerialIndex& operator=(SerialIndex&&) noexcept = default;
  SerialIndex(const SerialIndex&) = delete;
  SerialIndex& operator=(const SerialIndex&) = delete;

  // Makes room for `elements` serials of about `text_bytes` bytes in all.
  void reserve(std::size_t elements, std::size_t text_bytes);

  // Records that the element at `position` carries `serial`; a later position replaces an earlier
  // one of the same serial.
  void add(std::string_view serial, std::size_t position);

  // The position stored for exactly these bytes, or none.
  std::optional<std::size_t> find(std::string_view serial) const;
  std::size_t size() const noexcept { return table_.size(); }

 private:
  struct Entry {
    std::size_t offset;  // into text_
    std::size_t length;
    std::size_t position;
  };
  auto key_of() const noexcept {
    return [this](std::size_t i) { return std::string_view(text_).substr(entries_[i].offset, entries_[i].length); };
  }

  std::string text_;            // every serial's bytes, back to back
  std::vector<Entry> entries_;  // one per distinct serial
  KeyTable table_;
};

// One walk over `elements`: each element with a serial stores its position under a copy of that
// serial, replacing the position of an earlier element with the same serial.
SerialIndex build_serial_index(const JsonArray& elements);

// The value a Set at serial key `key` puts into an array: a deep copy of `value`; an object copy
// also gets the member "_" holding `key`, in place of any "_" it had.
JsonValue stamped_copy(const JsonValue& value, std::string_view key);

}  // namespace quillfen
