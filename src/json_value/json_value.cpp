#include "json_value/json_value.h"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace quillfen {

JsonValue::JsonValue(std::string s)
    : kind_(Kind::String), num_kind_(JsonNumber::Kind::Unsigned), payload_{.string = new std::string(std::move(s))} {}
JsonValue::JsonValue(JsonArray a)
    : kind_(Kind::Array), num_kind_(JsonNumber::Kind::Unsigned), payload_{.array = new JsonArray(std::move(a))} {}
JsonValue::JsonValue(JsonObject o)
    : kind_(Kind::Object), num_kind_(JsonNumber::Kind::Unsigned), payload_{.object = new JsonObject(std::move(o))} {}

namespace {

bool holds_filled_container(const JsonValue& v) noexcept {
  if (v.is_array()) {
    for (const JsonValue& e : v.as_array())
      if (e.is_container()) return true;
  } else if (v.is_object()) {
    for (const JsonMember& m : v.as_object())
      if (m.value.is_container()) return true;
  }
  return false;
}

}  // namespace

void JsonValue::release() noexcept {
  if (is_container() && holds_filled_container(*this)) {
    release_deep(*this);  // leaves this value null
    return;
  }
  switch (kind_) {
    case Kind::String: delete payload_.string; break;
    case Kind::Array: delete payload_.array; break;
    case Kind::Object: delete payload_.object; break;
    default: break;
  }
  kind_ = Kind::Null;
}

namespace {

// The slots of a container, for the teardown below: the elements of an array, or the values of an
// object's members.
std::size_t slot_count(const JsonValue& v) noexcept { return v.is_array() ? v.as_array().size() : v.as_object().size(); }
JsonValue& first_slot(JsonValue& v) noexcept { return v.is_array() ? v.as_array().front() : v.as_object().members().front().value; }
JsonValue& last_slot(JsonValue& v) noexcept { return v.is_array() ? v.as_array().back() : v.as_object().members().back().value; }
// Drops the last slot, which holds no filled container, so dropping it does not recurse.
void drop_last_slot(JsonValue& v) noexcept {
  if (v.is_array())
    v.as_array().pop_back();
  else
    v.as_object().members().pop_back();
}

}  // namespace

// Tears `root` down without recursing and without allocating: releasing runs where an allocation
// may just have failed (unwinding after std::bad_alloc), so it must not need memory itself.
//
// The containers still to free are kept in the tree itself. `current` is the container being
// emptied; when its last slot holds a filled container, that child takes `current`'s place, and
// `current` is parked in the child's first slot (whose old value goes into the slot the child left).
// So the first slot of every container above the root in this chain holds the next one to resume.
// Each slot is dropped once and each container is parked once, so the teardown takes linear time.
void JsonValue::release_deep(JsonValue& root) noexcept {
  JsonValue current(std::move(root));
  std::size_t parked = 0;  // containers in the chain below `current`; its first slot is the next one when > 0
  for (;;) {
    while (slot_count(current) > (parked > 0 ? 1 : 0)) {
      JsonValue& last = last_slot(current);
      if (!last.is_container() || slot_count(last) == 0) {
        drop_last_slot(current);
        continue;
      }
      JsonValue child(std::move(last));
      JsonValue& first = first_slot(child);
      last = std::move(first);  // every value assigned over here was moved from, so nothing is released
      first = std::move(current);
      current = std::move(child);
      ++parked;
    }
    if (parked == 0) return;  // `current` is the root, emptied
    JsonValue next(std::move(first_slot(current)));
    current = std::move(next);  // the old one holds nothing now
    --parked;
  }
}

namespace {

// The value itself for scalars and strings; an empty container of the same kind, sized for the
// source's elements, for arrays and objects.
JsonValue shallow_copy(const JsonValue& v) {
  switch (v.kind()) {
    case JsonValue::Kind::Null: return JsonValue();
    case JsonValue::Kind::Boolean: return JsonValue(v.as_bool());
    case JsonValue::Kind::Number: return JsonValue(v.as_number());
    case JsonValue::Kind::String: return JsonValue(v.as_string());
    case JsonValue::Kind::Array: {
      JsonArray a;
      a.reserve(v.as_array().size());
      return JsonValue(std::move(a));
    }
    case JsonValue::Kind::Object: {
      JsonObject o;
      o.reserve(v.as_object().size());
      return JsonValue(std::move(o));
    }
  }
  return JsonValue();
}

}  // namespace

JsonValue JsonValue::copy() const {
  JsonValue root = shallow_copy(*this);
  if (!is_container()) return root;
  struct Step {
    const JsonValue* source;
    JsonValue* target;  // its container was reserved at the source's size, so it never moves
  };
  std::vector<Step> pending{{this, &root}};
  while (!pending.empty()) {
    Step step = pending.back();
    pending.pop_back();
    if (step.source->is_array()) {
      JsonArray& out = step.target->as_array();
      for (const JsonValue& e : step.source->as_array()) {
        out.push_back(shallow_copy(e));
        if (e.is_container()) pending.push_back({&e, &out.back()});
      }
    } else {
      std::vector<JsonMember>& out = step.target->as_object().members();
      for (const JsonMember& m : step.source->as_object()) {
        out.push_back(JsonMember{m.key, shallow_copy(m.value)});
        if (m.value.is_container()) pending.push_back({&m.value, &out.back().value});
      }
    }
  }
  return root;
}

namespace {

bool same_scalar(const JsonValue& a, const JsonValue& b) noexcept {
  switch (a.kind()) {
    case JsonValue::Kind::Null: return true;
    case JsonValue::Kind::Boolean: return a.as_bool() == b.as_bool();
    case JsonValue::Kind::Number: return a.as_number() == b.as_number();
    case JsonValue::Kind::String: return a.as_string() == b.as_string();
    default: return true;  // containers are compared by the caller
  }
}

}  // namespace

bool operator==(const JsonValue& a, const JsonValue& b) {
  if (a.kind() != b.kind()) return false;
  if (!a.is_container()) return same_scalar(a, b);
  std::vector<std::pair<const JsonValue*, const JsonValue*>> pending{{&a, &b}};
  while (!pending.empty()) {
    auto [x, y] = pending.back();
    pending.pop_back();
    if (x->is_array()) {
      const JsonArray& xs = x->as_array();
      const JsonArray& ys = y->as_array();
      if (xs.size() != ys.size()) return false;
      for (std::size_t i = 0; i < xs.size(); ++i) {
        if (xs[i].kind() != ys[i].kind()) return false;
        if (!xs[i].is_container()) {
          if (!same_scalar(xs[i], ys[i])) return false;
        } else {
          pending.emplace_back(&xs[i], &ys[i]);
        }
      }
    } else {
      const std::vector<JsonMember>& xs = x->as_object().members();
      const std::vector<JsonMember>& ys = y->as_object().members();
      if (xs.size() != ys.size()) return false;
      // Both hold unique keys in the same order, so equal objects line up member by member.
      for (std::size_t i = 0; i < xs.size(); ++i) {
        if (xs[i].key != ys[i].key || xs[i].value.kind() != ys[i].value.kind()) return false;
        if (!xs[i].value.is_container()) {
          if (!same_scalar(xs[i].value, ys[i].value)) return false;
        } else {
          pending.emplace_back(&xs[i].value, &ys[i].value);
        }
      }
    }
  }
  return true;
}

namespace {

void append_string(std::string& out, std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      default:
        if (c < 0x20) {
          const char esc[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xf]};
          out.append(esc, sizeof esc);
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
  }
  out.push_back('"');
}

void append_number(std::string& out, JsonNumber n) {
  char buf[64];
  std::to_chars_result r{};
  switch (n.kind()) {
    case JsonNumber::Kind::Unsigned: r = std::to_chars(buf, buf + sizeof buf, n.as_unsigned()); break;
    case JsonNumber::Kind::Negative: r = std::to_chars(buf, buf + sizeof buf, n.as_negative()); break;
    case JsonNumber::Kind::Double: {
      r = std::to_chars(buf, buf + sizeof buf, n.as_double());  // shortest form that reads back
      out.append(buf, r.ptr);
      if (std::find_if(buf, r.ptr, [](char c) { return c == '.' || c == 'e'; }) == r.ptr) out += ".0";
      return;
    }
  }
  out.append(buf, r.ptr);
}

void append_scalar(std::string& out, const JsonValue& v) {
  switch (v.kind()) {
    case JsonValue::Kind::Null: out += "null"; break;
    case JsonValue::Kind::Boolean: out += v.as_bool() ? "true" : "false"; break;
    case JsonValue::Kind::Number: append_number(out, v.as_number()); break;
    case JsonValue::Kind::String: append_string(out, v.as_string()); break;
    default: break;
  }
}

}  // namespace

std::string quoted(std::string_view text) {
  std::string out;
  append_string(out, text);
  return out;
}

std::string JsonValue::compact_text() const {
  std::string out;
  if (!is_container()) {
    append_scalar(out, *this);
    return out;
  }
  struct Frame {
    const JsonValue* container;
    std::size_t next;  // index of the next element or member to write
  };
  std::vector<Frame> stack{{this, 0}};
  out.push_back(is_array() ? '[' : '{');
  while (!stack.empty()) {
    Frame& top = stack.back();
    const JsonValue* child = nullptr;
    if (top.container->is_array()) {
      const JsonArray& items = top.container->as_array();
      if (top.next == items.size()) {
        out.push_back(']');
        stack.pop_back();
        continue;
      }
      if (top.next > 0) out.push_back(',');
      child = &items[top.next++];
    } else {
      const std::vector<JsonMember>& members = top.container->as_object().members();
      if (top.next == members.size()) {
        out.push_back('}');
        stack.pop_back();
        continue;
      }
      if (top.next > 0) out.push_back(',');
      const JsonMember& m = members[top.next++];
      append_string(out, m.key);
      out.push_back(':');
      child = &m.value;
    }
    if (child->is_container()) {
      out.push_back(child->is_array() ? '[' : '{');
      stack.push_back({child, 0});  // `top` is not used after this
    } else {
      append_scalar(out, *child);
    }
  }
  return out;
}

namespace {

bool key_less(const JsonMember& a, const JsonMember& b) noexcept { return a.key < b.key; }

// Sorts by key, keeping the last member of each run of equal keys.
void sort_unique_last_wins(std::vector<JsonMember>& members) {
  if (!std::is_sorted(members.begin(), members.end(), key_less))
    std::stable_sort(members.begin(), members.end(), key_less);
  auto out = members.begin();
  for (auto it = members.begin(); it != members.end(); ++it) {
    auto next = it + 1;
    if (next != members.end() && next->key == it->key) continue;  // a later one wins
    if (out != it) *out = std::move(*it);
    ++out;
  }
  members.erase(out, members.end());
}

}  // namespace

JsonObject JsonObject::from_members(std::vector<JsonMember> members) {
  sort_unique_last_wins(members);
  JsonObject o;
  o.members_ = std::move(members);
  return o;
}

std::optional<std::size_t> JsonObject::position_of(std::string_view key) const noexcept {
  auto it = std::lower_bound(members_.begin(), members_.end(), key,
                             [](const JsonMember& m, std::string_view k) { return std::string_view(m.key) < k; });
  if (it == members_.end() || it->key != key) return std::nullopt;
  return static_cast<std::size_t>(it - members_.begin());
}

const JsonValue* JsonObject::find(std::string_view key) const noexcept {
  const std::optional<std::size_t> at = position_of(key);
  return at ? &members_[*at].value : nullptr;
}

JsonValue* JsonObject::find(std::string_view key) noexcept {
  return const_cast<JsonValue*>(static_cast<const JsonObject*>(this)->find(key));
}

std::optional<JsonValue> JsonObject::insert(std::string key, JsonValue value) {
  auto it = std::lower_bound(members_.begin(), members_.end(), key,
                             [](const JsonMember& m, const std::string& k) { return m.key < k; });
  if (it != members_.end() && it->key == key) return std::exchange(it->value, std::move(value));
  members_.insert(it, JsonMember{std::move(key), std::move(value)});
  return std::nullopt;
}

std::optional<JsonValue> JsonObject::remove(std::string_view key) {
  const std::optional<std::size_t> at = position_of(key);
  if (!at) return std::nullopt;
  JsonValue old = std::move(members_[*at].value);
  members_.erase(members_.begin() + static_cast<std::ptrdiff_t>(*at));
  return old;
}

void JsonObject::merge_members(std::vector<JsonMember> incoming) {
  if (incoming.empty()) return;
  sort_unique_last_wins(incoming);
  std::vector<JsonMember> merged;
  merged.reserve(members_.size() + incoming.size());
  auto a = members_.begin();
  auto b = incoming.begin();
  while (a != members_.end() && b != incoming.end()) {
    if (a->key < b->key) {
      merged.push_back(std::move(*a++));
    } else if (b->key < a->key) {
      merged.push_back(std::move(*b++));
    } else {
      merged.push_back(std::move(*b++));
      ++a;
    }
  }
  std::move(a, members_.end(), std::back_inserter(merged));
  std::move(b, incoming.end(), std::back_inserter(merged));
  members_ = std::move(merged);
}

}  // namespace quillfen
