#include "patch/array_addressing.h"

#include "patch/reserved_names.h"

#include <algorithm>
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

bool is_top_level_serial_key(std::string_view key) noexcept { return key != kSerialMember && !parse_index_key(key); }

const std::string* serial_of(const JsonValue& element) noexcept {
  if (!element.is_object()) return nullptr;
  const JsonValue* serial = element.as_object().find(kSerialMember);
  return serial != nullptr && serial->is_string() ? &serial->as_string() : nullptr;
}

SerialIndex::SerialIndex(const std::vector<std::string_view>& keys) : table_(keys.size()) {
  entries_.reserve(keys.size());
  for (std::string_view key : keys)
    if (table_.insert(key, entries_.size(), Serials{&entries_}) == entries_.size()) entries_.push_back(Entry{key, kAbsent});
}

void SerialIndex::add(std::string_view serial, std::size_t position) {
  const std::size_t at = every_serial_ ? table_.insert(serial, entries_.size(), Serials{&entries_})
                                       : table_.find(serial, Serials{&entries_});
  if (at == KeyTable::kNone) return;  // not looked for
  if (at == entries_.size()) {
    entries_.push_back(Entry{serial, position});
  } else {
    entries_[at].position = position;  // the later element wins
  }
}

std::optional<std::size_t> SerialIndex::find(std::string_view serial) const {
  const std::size_t at = table_.find(serial, Serials{&entries_});
  if (at == KeyTable::kNone || entries_[at].position == kAbsent) return std::nullopt;
  return entries_[at].position;
}

std::size_t SerialIndex::size() const noexcept {
  return static_cast<std::size_t>(
      std::count_if(entries_.begin(), entries_.end(), [](const Entry& e) { return e.position != kAbsent; }));
}

SerialIndex build_serial_index(const JsonArray& elements) {
  SerialIndex index;
  index.every_serial_ = true;
  // The copies go into one string sized once, so the views of the entries stay valid.
  std::size_t bytes = 0;
  std::size_t count = 0;
  for (const JsonValue& element : elements)
    if (const std::string* serial = serial_of(element)) {
      bytes += serial->size();
      ++count;
    }
  index.text_.reserve(bytes);
  index.entries_.reserve(count);
  index.table_.reserve(count);
  for (std::size_t i = 0; i < elements.size(); ++i) {
    const std::string* serial = serial_of(elements[i]);
    if (serial == nullptr) continue;
    const std::size_t offset = index.text_.size();
    index.text_.append(*serial);
    index.add(std::string_view(index.text_).substr(offset, serial->size()), i);
  }
  return index;
}

JsonValue stamped_copy(const JsonValue& value, std::string_view key) {
  JsonValue out = value.copy();
  if (out.is_object()) out.as_object().insert(std::string(kSerialMember), JsonValue(key));
  return out;
}

}  // namespace quillfen
