#include "patch/array_addressing.h"

#include <limits>

namespace quillfen {

std::optional<std::uint64_t> parse_index_key(std::string_view key) noexcept {
  if (key.size() < 3 || key.front() != '[' || key.back() != ']') return std::nullopt;
  std::string_view digits = key.substr(1, key.size() - 2);
  if (digits.front() == '+') digits.remove_prefix(1);
  if (digits.empty()) return std::nullopt;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (kMax - digit) / 10) return std::nullopt;  // more than 64 bits
    value = value * 10 + digit;
  }
  return value;
}

const std::string* serial_of(const JsonValue& element) noexcept {
  if (!element.is_object()) return nullptr;
  const JsonValue* serial = element.as_object().find("_");
  return serial != nullptr && serial->is_string() ? &serial->as_string() : nullptr;
}

void SerialIndex::reserve(std::size_t elements, std::size_t text_bytes) {
  entries_.reserve(elements);
  text_.reserve(text_bytes);
  table_.reserve(elements);
}

void SerialIndex::add(std::string_view serial, std::size_t position) {
  // The bytes go in first, so the table's view of the new key is valid while it is inserted.
  const std::size_t offset = text_.size();
  text_.append(serial);
  entries_.push_back(Entry{offset, serial.size(), position});
  const std::size_t at = table_.insert(serial, entries_.size() - 1, key_of());
  if (at != entries_.size() - 1) {  // a serial seen before: the later element wins
    entries_[at].position = position;
    entries_.pop_back();
    text_.resize(offset);
  }
}

std::optional<std::size_t> SerialIndex::find(std::string_view serial) const {
  const std::size_t at = table_.find(serial, key_of());
  if (at == KeyTable::kNone) return std::nullopt;
  return entries_[at].position;
}

SerialIndex build_serial_index(const JsonArray& elements) {
  SerialIndex index;
  index.reserve(elements.size(), elements.size() * 8);
  for (std::size_t i = 0; i < elements.size(); ++i)
    if (const std::string* serial = serial_of(elements[i])) index.add(*serial, i);
  return index;
}

JsonValue stamped_copy(const JsonValue& value, std::string_view key) {
  JsonValue out = value.copy();
  if (out.is_object()) out.as_object().insert("_", JsonValue(key));
  return out;
}

}  // namespace quillfen
