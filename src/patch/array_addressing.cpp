#include "patch/array_addressing.h"

#include <limits>

#include "patch/patch.h"

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

SerialIndex build_serial_index(const JsonArray& elements) {
  SerialIndex index;
  index.seed_ = new_key_seed();
  for (std::size_t i = 0; i < elements.size(); ++i) {
    const std::string* serial = serial_of(elements[i]);
    if (serial == nullptr) continue;
    index.entries_.push_back(SerialIndex::Entry{keyed_hash(*serial, index.seed_), index.text_.size(), serial->size(), i});
    index.text_ += *serial;
  }
  if (index.entries_.empty()) return index;
  std::size_t table_size = 8;
  while (table_size < index.entries_.size() * 2) table_size *= 2;  // at most half full
  index.slots_.assign(table_size, 0);
  const std::size_t mask = table_size - 1;
  for (std::size_t e = 0; e < index.entries_.size(); ++e) {
    const SerialIndex::Entry& entry = index.entries_[e];
    std::size_t i = entry.hash & mask;
    for (; index.slots_[i] != 0; i = (i + 1) & mask) {
      SerialIndex::Entry& held = index.entries_[index.slots_[i] - 1];
      if (held.hash == entry.hash && index.serial(held) == index.serial(entry)) break;
    }
    if (index.slots_[i] == 0) {
      index.slots_[i] = e + 1;
      ++index.live_;
    } else {
      index.entries_[index.slots_[i] - 1].position = entry.position;  // the later element wins
    }
  }
  return index;
}

std::optional<std::size_t> SerialIndex::find(std::string_view serial) const noexcept {
  if (slots_.empty()) return std::nullopt;
  const std::uint64_t hash = keyed_hash(serial, seed_);
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = hash & mask; slots_[i] != 0; i = (i + 1) & mask) {
    const Entry& held = entries_[slots_[i] - 1];
    if (held.hash == hash && this->serial(held) == serial) return held.position;
  }
  return std::nullopt;
}

JsonValue stamped_copy(const JsonValue& value, std::string_view key) {
  JsonValue out = value.copy();
  if (out.is_object()) out.as_object().insert("_", JsonValue(key));
  return out;
}

}  // namespace quillfen
