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

// Whether `key`, at the top level of a patch applied to an array, is a serial key: neither the
// reserved "_" (passed over) nor an index key.
bool is_top_level_serial_key(std::string_view key) noexcept;

// The serial of an element: the string in its member "_", when it is an object and "_" holds a
// string; null otherwise. The pointer lives as long as the element is unchanged.
const std::string* serial_of(const JsonValue& element) noexcept;

// Serial -> position of the last element that carried it when the index was built. It is filled
// by `add`, one element at a time in element order, by whatever walks the array (the core's own
// arrays, or a binding's), and is not updated when elements change afterwards. Two kinds:
// - an index of every serial (build_serial_index), which keeps its own copies of them;
// - an index of the keys an array pass looks up: it keeps only the elements that carry one of them,
//   so filling it costs a lookup per element in a table the size of the pass, not the array.
class SerialIndex {
 public:
  // Finds nothing.
  SerialIndex() = default;
  // Finds only `keys` (repeats allowed), which must outlive the index.
  explicit SerialIndex(const std::vector<std::string_view>& keys);
  SerialIndex(SerialIndex&&) noexcept = default;
  SerialIndex& operator=(SerialIndex&&) noexcept = default;
  SerialIndex(const SerialIndex&) = delete;
  SerialIndex& operator=(const SerialIndex&) = delete;

  // Whether filling the index can find anything.
  bool looks_for_nothing() const noexcept { return !every_serial_ && entries_.empty(); }

  // Records that the element at `position` carries `serial`; a later position replaces an earlier
  // one of the same serial. An index of keys ignores the serials it does not look for.
  void add(std::string_view serial, std::size_t position);

  // The position stored for exactly these bytes, or none.
  std::optional<std::size_t> find(std::string_view serial) const;
  // How many serials have a position.
  std::size_t size() const noexcept;

 private:
  friend SerialIndex build_serial_index(const JsonArray& elements);
  static constexpr std::size_t kAbsent = ~std::size_t{0};
  struct Entry {
    std::string_view serial;  // the looked-for key, or a view of text_
    std::size_t position;     // kAbsent until an element carries the serial
  };
  struct Serials {
    const std::vector<Entry>* entries;
    std::string_view operator()(std::size_t i) const noexcept { return (*entries)[i].serial; }
  };

  std::string text_;  // every serial of an index of every serial, back to back, sized once
  std::vector<Entry> entries_;
  KeyTable table_;
  bool every_serial_ = false;
};

// One walk over `elements`: each element with a serial stores its position under a copy of that
// serial, replacing the position of an earlier element with the same serial.
SerialIndex build_serial_index(const JsonArray& elements);

// The value a Set at serial key `key` puts into an array: a deep copy of `value`; an object copy
// also gets the member "_" holding `key`, in place of any "_" it had.
JsonValue stamped_copy(const JsonValue& value, std::string_view key);

}  // namespace quillfen
