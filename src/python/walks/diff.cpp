#include "python/walks/diff.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "python/objects/convert.h"
#include "python/objects/errors.h"
#include "python/objects/py_ref.h"
#include "python/objects/read_ahead.h"
#include "walks/diff.h"
#include "walks/diff_walk.h"

namespace quillfen::py {

namespace {

using diff_rules::Outcome;
using diff_rules::SerialOf;
using diff_rules::Shape;
using diff_rules::Step;

// Whether two exact scalars, as the conversion reads them, convert to one value.
bool same_value(const ExactScalar& a, const ExactScalar& b) noexcept {
  if (a.kind != b.kind) return false;
  switch (a.kind) {
    case JsonValue::Kind::Boolean: return a.truth == b.truth;
    case JsonValue::Kind::Number: return a.number == b.number;
    case JsonValue::Kind::String: return a.text == b.text;
    default: return true;
  }
}

// Whether two exact numbers that convert to one value differ as Python numbers (a NaN equal to a
// NaN): 1 they differ, 0 not, -1 failed (MemoryError; comparing a large int with a float may
// allocate). Both are exact ints or floats, so the comparison runs no code of the data.
int numbers_differ(PyObject* a, PyObject* b) {
  if (PyFloat_CheckExact(a) && PyFloat_CheckExact(b)) {
    const double x = PyFloat_AS_DOUBLE(a);
    const double y = PyFloat_AS_DOUBLE(b);
    return !(x == y || (std::isnan(x) && std::isnan(y)));
  }
  const int equal = PyObject_RichCompareBool(a, b, Py_EQ);
  return equal < 0 ? -1 : !equal;
}

// Two exact scalars compared as the values they convert to; a Collision where they convert alike
// but differ. Foreign where either does not convert.
Outcome compare_scalars(PyObject* a, PyObject* b) {
  ExactScalar x, y;
  for (auto [obj, scalar] : {std::pair{a, &x}, std::pair{b, &y}}) {
    switch (read_exact_scalar(obj, *scalar)) {
      case ScalarRead::Read: break;
      case ScalarRead::Refused:
      case ScalarRead::Other: return Outcome::Foreign;  // converting it reports why
      case ScalarRead::Failed: return Outcome::Failed;
    }
  }
  if (!same_value(x, y)) return Outcome::Differ;
  if (!x.changed && !y.changed) return Outcome::Equal;
  switch (numbers_differ(a, b)) {
    case 0: return Outcome::Equal;
    case 1: return Outcome::Collision;
    default: return Outcome::Failed;
  }
}

// A str the fast paths read (a dict key, or a value compared in one pass): an exact str that
// encodes. Any other is left to the conversion, which gives a subclass's text its own rules and
// refuses the rest.
bool key_text(PyObject* key, std::string_view& text) {
  if (!PyUnicode_CheckExact(key)) return false;
  if (utf8_view(key, text)) return true;
  PyErr_Clear();
  return false;
}

// Whether two exact strs have one text, read where they stand (no encoding is made).
bool same_text(PyObject* a, PyObject* b) noexcept {
  const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
  const int kind = PyUnicode_KIND(a);
  return length == PyUnicode_GET_LENGTH(b) && kind == static_cast<int>(PyUnicode_KIND(b)) &&
         std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<std::size_t>(length) * static_cast<std::size_t>(kind)) == 0;
}

// Whether two values are plainly one value: the same object, or exact scalars of one type, equal,
// that convert to themselves. False where that does not settle it.
bool plainly_same_scalar(PyObject* a, PyObject* b) {
  if (a == b) return true;
  PyTypeObject* type = Py_TYPE(a);
  if (type != Py_TYPE(b)) return false;
  if (type == &PyUnicode_Type) {
    std::string_view text;
    return same_text(a, b) && key_text(a, text);
  }
  if (type == &PyLong_Type) {
    int overflow_a = 0, overflow_b = 0;
    const long long x = PyLong_AsLongLongAndOverflow(a, &overflow_a);
    const long long y = PyLong_AsLongLongAndOverflow(b, &overflow_b);
    return overflow_a == 0 && overflow_b == 0 && x == y;
  }
  if (type == &PyFloat_Type) {
    const double x = PyFloat_AS_DOUBLE(a);
    return x == PyFloat_AS_DOUBLE(b) && std::isfinite(x) && x != 0.0;  // a zero may carry a sign
  }
  return false;
}

// Whether two values are plainly one value, read in one pass and with no work list: dicts with
// exact str keys of the same texts and lists, each no more than `levels` deep, down to values that
// are plainly the same scalars. The records of two versions of a document, built apart, mostly are.
// False where that does not settle it (a difference, anything to convert, too much to read): the
// full comparison decides then. Reads at most `budget` values and runs no code of the data.
bool plainly_same(PyObject* a, PyObject* b, std::size_t& budget, int levels) {
  if (a == b) return true;
  PyTypeObject* type = Py_TYPE(a);
  if (type != &PyDict_Type && type != &PyList_Type) return plainly_same_scalar(a, b);
  if (type != Py_TYPE(b) || levels == 0) return false;
  const bool dict = type == &PyDict_Type;
  const Py_ssize_t size = dict ? PyDict_GET_SIZE(a) : PyList_GET_SIZE(a);
  if (size != (dict ? PyDict_GET_SIZE(b) : PyList_GET_SIZE(b)) || static_cast<std::size_t>(size) > budget) return false;
  budget -= static_cast<std::size_t>(size);
  if (!dict) {
    for (Py_ssize_t i = 0; i < size; ++i)
      if (!plainly_same(PyList_GET_ITEM(a, i), PyList_GET_ITEM(b, i), budget, levels - 1)) return false;
    return true;
  }
  Py_ssize_t position_a = 0, position_b = 0;
  PyObject *key_a = nullptr, *value_a = nullptr, *key_b = nullptr, *value_b = nullptr;
  bool side_by_side = true;  // the keys line up so far; else each is looked up
  while (PyDict_Next(a, &position_a, &key_a, &value_a)) {
    std::string_view text;
    if (!key_text(key_a, text)) return false;
    PyObject* other = nullptr;
    if (side_by_side) {
      if (!PyDict_Next(b, &position_b, &key_b, &value_b) || Py_TYPE(key_b) != &PyUnicode_Type) return false;
      if (key_a == key_b || same_text(key_a, key_b)) {
        other = value_b;
      } else {
        // A lookup compares keys: only where every key of `b` is an exact str does it run no code.
        Py_ssize_t position = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(b, &position, &key, &value))
          if (Py_TYPE(key) != &PyUnicode_Type) return false;
        side_by_side = false;
      }
    }
    if (!side_by_side && (other = PyDict_GetItemWithError(b, key_a)) == nullptr) return false;  // absent: exact keys raise nothing
    if (!plainly_same(value_a, other, budget, levels - 1)) return false;
  }
  return true;
}

// Python documents for the diff's rules, read where they stand. Reading runs no code of the data:
// exact types are checked before anything is looked up, and a value of no exact type is handed to
// the conversion. Only the conversion runs code of the data (a hook, or a finalizer of a collection
// that an allocation starts), which may change the documents: every container being walked is
// held, lengths and sizes are checked again before use, and serials are copies.
class PythonDiffDocument {
 public:
  static constexpr bool kMayBeForeign = true;
  static constexpr std::size_t kQuickValues = 64;
  using Node = PyObject*;
  using Held = PyRef;
  using Event = diff_rules::MemberEvent<Node>;

  // The members of two dicts, matched by key. Dicts built alike hold their keys in one order, so
  // the keys are first taken side by side; keys that do not line up are looked up in the other
  // dict, once every key of both is known to be an exact str.
  struct Members {
    // A member read from one dict and not yet matched: held, as the walk may run code meanwhile.
    struct Pending {
      PyRef key;
      PyRef value;
    };
    struct Side {
      PyRef dict;
      Py_ssize_t size = 0;  // when the walk began
      Py_ssize_t position = 0;
      Py_ssize_t taken = 0;  // members matched or passed
      std::optional<Pending> pending;
      std::optional<Pending> last;         // the member of the last event, kept until the next
      std::uint64_t checked_at = 0;        // the code stamp when every key was found an exact str; 0: never
    };
    enum class Mode { SideBySide, NewByLookup, OldByLookup };

    Side old_side;
    Side new_side;
    Mode mode = Mode::SideBySide;
    Py_ssize_t old_left = 0;     // old members not yet matched when lookups began
    Py_ssize_t found_by_lookup = 0;
    PyObject* key = nullptr;     // of the last event; borrowed from its dict or `last`
  };

  static Shape shape(Node value) {
    PyTypeObject* type = Py_TYPE(value);
    if (type == &PyDict_Type) return Shape::Object;
    if (type == &PyList_Type) return Shape::Array;
    return is_exact_scalar(value) ? Shape::Scalar : Shape::Foreign;
  }
  static bool same(Node a, Node b) { return a == b; }
  // Up to kQuickValues values read: a record, or the start of anything larger.
  Outcome quickly_equal(Node old_value, Node new_value, int depth) {
    std::vector<std::string> where;
    const Outcome outcome = compare(old_value, new_value, depth, where, kQuickValues);
    return outcome == Outcome::Equal || outcome == Outcome::Failed ? outcome : Outcome::Differ;
  }
  static Held hold(Node value) { return PyRef::borrow(value); }
  static bool enter(int depth) { return depth < kMaxInputDepth || raise_too_deep(); }

  // Compares two values as the values they convert to. With a `budget`, Differ also once that many
  // values have been read.
  Outcome compare(Node old_value, Node new_value, int depth, std::vector<std::string>& where,
                  std::size_t budget = ~std::size_t{0});

  bool check(Node old_value, int depth) {
    ExactScalar ignored;
    switch (read_exact_scalar(old_value, ignored)) {
      case ScalarRead::Read: return true;
      case ScalarRead::Failed: return false;
      case ScalarRead::Refused: break;  // the conversion raises its error
      case ScalarRead::Other: break;
    }
    JsonValue value;
    return convert_by_rules(old_value, depth, value);
  }

  bool convert(Node new_value, int depth, JsonValue& out) {
    ExactScalar scalar;
    switch (read_exact_scalar(new_value, scalar)) {
      case ScalarRead::Read: out = scalar.value(); return true;
      case ScalarRead::Failed: return false;
      case ScalarRead::Refused:
      case ScalarRead::Other: break;
    }
    return convert_by_rules(new_value, depth, out);
  }

  bool delegate(Node old_value, Node new_value, int depth, std::optional<Operation>& out) {
    const PyRef keep_new = PyRef::borrow(new_value);  // converting old may run code that drops it
    JsonValue was, is;
    if (!convert_by_rules(old_value, depth, was) || !convert_by_rules(new_value, depth, is)) return false;
    out = diff_values(was, is);
    return true;
  }

  Members members(Node old_value, Node new_value) const {
    Members m;
    m.old_side.dict = PyRef::borrow(old_value);
    m.old_side.size = PyDict_GET_SIZE(old_value);
    m.new_side.dict = PyRef::borrow(new_value);
    m.new_side.size = PyDict_GET_SIZE(new_value);
    return m;
  }

  Step next(Members& m, Event& event);

  static Held hold_key(Members& m) { return PyRef::borrow(m.key); }

  static std::size_t length(Node array) { return static_cast<std::size_t>(PyList_GET_SIZE(array)); }

  static bool element(Node array, std::size_t position, Node& out) {
    if (position >= static_cast<std::size_t>(PyList_GET_SIZE(array)))
      return raise_fatal_error("list changed size while it was compared");
    out = PyList_GET_ITEM(array, static_cast<Py_ssize_t>(position));
    return true;
  }

  // A hint (see read_ahead.h), always inlined for the reason given there.
  template <class Ahead>
  [[gnu::always_inline]] static void reading_ahead(Node array, const Ahead& position_ahead) noexcept {
    read_ahead(array, position_ahead(kReadAheadTables), position_ahead(kReadAheadElements));
  }

  static SerialOf serial(Node element, std::string_view& out);

 private:
  enum class Read { Member, End, Foreign };

  // The conversion, which may run code of the data.
  bool convert_by_rules(Node value, int depth, JsonValue& out) {
    const PyRef keep = PyRef::borrow(value);
    bool ran_code = true;  // unless the conversion says it read exact types only
    const bool ok = python_to_value_at(value, depth, out, &ran_code);
    if (ran_code || !ok) ++code_stamp_;
    return ok;
  }

  // A member that pass_over_shared read from one side and did not pass over, or that side's end.
  struct Peek {
    enum class State { None, Member, End } state = State::None;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t after = 0;  // the position after it
  };

  // The next member of one side: the pending one, else the one read ahead, else the dict's next.
  static Read read(Members::Side& side, const Peek& peek, PyObject*& key, PyObject*& value, std::string_view& text) {
    if (side.pending) {
      key = side.pending->key.get();
      value = side.pending->value.get();
    } else if (peek.state == Peek::State::Member) {
      key = peek.key;
      value = peek.value;
      side.position = peek.after;
    } else if (peek.state == Peek::State::End || !PyDict_Next(side.dict.get(), &side.position, &key, &value)) {
      return Read::End;
    }
    return key_text(key, text) ? Read::Member : Read::Foreign;
  }
  static Read read(Members::Side& side, PyObject*& key, PyObject*& value, std::string_view& text) {
    return read(side, Peek{}, key, value, text);
  }

  // Marks the member just read from `side` as taken; what held it stays held until the next event.
  static void take(Members::Side& side) {
    side.last = std::move(side.pending);
    side.pending.reset();
    ++side.taken;
  }
  static void keep_pending(Members::Side& side, PyObject* key, PyObject* value) {
    if (!side.pending) side.pending = Members::Pending{PyRef::borrow(key), PyRef::borrow(value)};
  }

  // Whether every key of the side's dict is an exact str, so that a lookup in it runs no code of
  // the data: known once, until code of the data may have run.
  bool keys_checked(Members::Side& side) {
    if (side.checked_at == code_stamp_ + 1) return true;
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(side.dict.get(), &position, &key, &value))
      if (!PyUnicode_CheckExact(key)) return false;
    side.checked_at = code_stamp_ + 1;
    return true;
  }

  // The value under `key` (an exact str) in a dict whose keys were checked, or null.
  static PyObject* lookup(const Members::Side& side, PyObject* key) { return PyDict_GetItemWithError(side.dict.get(), key); }

  static bool unchanged(const Members& m) {
    if (PyDict_GET_SIZE(m.old_side.dict.get()) == m.old_side.size && PyDict_GET_SIZE(m.new_side.dict.get()) == m.new_side.size)
      return true;
    return raise_fatal_error("dictionary changed size during iteration");
  }

  // Passes over the members, side by side from the current ones, whose key and value are the same
  // objects in both dicts: they have no change. Their keys are only checked to be exact strs, in
  // batches read ahead, so that the reads of the keys overlap rather than wait one for another. The
  // pair that stopped it, read already, is given in the peeks, for the caller to read without
  // reading the dicts again.
  static void pass_over_shared(Members& m, Peek& old_peek, Peek& new_peek) {
    if (m.old_side.pending || m.new_side.pending) return;
    constexpr int kBatch = 16;
    PyObject* keys[kBatch];
    Py_ssize_t old_after[kBatch];
    Py_ssize_t new_after[kBatch];
    for (;;) {
      Py_ssize_t old_position = m.old_side.position, new_position = m.new_side.position;
      int read = 0;
      Peek old_stop, new_stop;
      while (read < kBatch) {
        PyObject *old_key = nullptr, *old_value = nullptr, *new_key = nullptr, *new_value = nullptr;
        if (!PyDict_Next(m.old_side.dict.get(), &old_position, &old_key, &old_value)) {
          old_stop.state = Peek::State::End;
          break;
        }
        old_stop = Peek{Peek::State::Member, old_key, old_value, old_position};
        if (!PyDict_Next(m.new_side.dict.get(), &new_position, &new_key, &new_value)) {
          new_stop.state = Peek::State::End;
          break;
        }
        new_stop = Peek{Peek::State::Member, new_key, new_value, new_position};
        if (old_key != new_key || old_value != new_value) break;
        __builtin_prefetch(old_key);
        keys[read] = old_key;
        old_after[read] = old_position;
        new_after[read] = new_position;
        old_stop = new_stop = Peek{};
        ++read;
      }
      int passed = 0;
      while (passed < read && Py_TYPE(keys[passed]) == &PyUnicode_Type) ++passed;
      if (passed > 0) {  // the rest, from the first that is not, is read again by the caller
        m.old_side.position = old_after[passed - 1];
        m.new_side.position = new_after[passed - 1];
        m.old_side.taken += passed;
        m.new_side.taken += passed;
      }
      if (passed < read) return;
      if (read < kBatch) {  // stopped by a pair that is not shared, or an end
        old_peek = old_stop;
        new_peek = new_stop;
        return;
      }
    }
  }

  static bool last_reference(const std::optional<Members::Pending>& held) {
    return held && (Py_REFCNT(held->key.get()) == 1 || Py_REFCNT(held->value.get()) == 1);
  }

  Step side_by_side(Members& m, Event& event);
  Step new_by_lookup(Members& m, Event& event);
  Step old_by_lookup(Members& m, Event& event);

  // A pair of containers being compared.
  struct Level {
    PyObject* old_list;  // null for a pair of dicts
    PyObject* new_list;
    std::size_t next;
    std::optional<Members> members;
    std::string_view key;  // of the pair being compared in a pair of dicts
  };

  std::uint64_t code_stamp_ = 0;  // counts the calls that may have run code of the data
  std::vector<Level> levels_;
};

Step PythonDiffDocument::next(Members& m, Event& event) {
  if (m.old_side.last || m.new_side.last) {
    // Dropping what the last event held runs code only where it was the last reference: a member
    // still in its dict is not freed.
    if (last_reference(m.old_side.last) || last_reference(m.new_side.last)) ++code_stamp_;
    m.old_side.last.reset();
    m.new_side.last.reset();
  }
  if (!unchanged(m)) return Step::Failed;
  switch (m.mode) {
    case Members::Mode::SideBySide: return side_by_side(m, event);
    case Members::Mode::NewByLookup: return new_by_lookup(m, event);
    case Members::Mode::OldByLookup: return old_by_lookup(m, event);
  }
  return Step::Failed;
}

Step PythonDiffDocument::side_by_side(Members& m, Event& event) {
  Peek old_peek, new_peek;
  pass_over_shared(m, old_peek, new_peek);
  PyObject *old_key = nullptr, *old_value = nullptr, *new_key = nullptr, *new_value = nullptr;
  std::string_view old_text, new_text;
  const Read was = read(m.old_side, old_peek, old_key, old_value, old_text);
  const Read is = read(m.new_side, new_peek, new_key, new_value, new_text);
  if (was == Read::Foreign || is == Read::Foreign) return Step::Foreign;
  // When one side has run out, what is left of the other was matched by nothing so far and can be
  // matched by nothing later.
  if (is == Read::End) {
    if (was == Read::End) return Step::End;
    take(m.old_side);
    event = Event{old_text, old_value, nullptr};
    m.key = old_key;
    return Step::Removed;
  }
  if (was == Read::End || old_key == new_key || old_text == new_text) {
    const bool pair = was != Read::End;
    if (pair) take(m.old_side);
    take(m.new_side);
    event = Event{new_text, pair ? old_value : nullptr, new_value};
    m.key = new_key;
    return pair ? Step::Pair : Step::Added;
  }
  keep_pending(m.old_side, old_key, old_value);
  keep_pending(m.new_side, new_key, new_value);
  if (!keys_checked(m.old_side) || !keys_checked(m.new_side)) return Step::Foreign;
  PyObject* in_new = lookup(m.new_side, old_key);
  if (in_new == nullptr && PyErr_Occurred()) return Step::Failed;
  if (in_new == nullptr) {  // gone from new
    take(m.old_side);
    event = Event{old_text, old_value, nullptr};
    m.key = old_key;
    return Step::Removed;
  }
  PyObject* in_old = lookup(m.old_side, new_key);
  if (in_old == nullptr && PyErr_Occurred()) return Step::Failed;
  if (in_old == nullptr) {  // new in new
    take(m.new_side);
    event = Event{new_text, nullptr, new_value};
    m.key = new_key;
    return Step::Added;
  }
  // The orders part: every member left in new is looked up in old, then those left in old in new.
  m.mode = Members::Mode::NewByLookup;
  m.old_left = m.old_side.size - m.old_side.taken;
  return new_by_lookup(m, event);
}

Step PythonDiffDocument::new_by_lookup(Members& m, Event& event) {
  PyObject *key = nullptr, *value = nullptr;
  std::string_view text;
  switch (read(m.new_side, key, value, text)) {
    case Read::Foreign: return Step::Foreign;
    case Read::End: m.mode = Members::Mode::OldByLookup; return old_by_lookup(m, event);
    case Read::Member: break;
  }
  take(m.new_side);
  m.key = key;
  if (!keys_checked(m.old_side)) return Step::Foreign;
  PyObject* before = lookup(m.old_side, key);
  if (before == nullptr && PyErr_Occurred()) return Step::Failed;
  event = Event{text, before, value};
  if (before == nullptr) return Step::Added;
  ++m.found_by_lookup;
  return Step::Pair;
}

Step PythonDiffDocument::old_by_lookup(Members& m, Event& event) {
  // The members of old that new carries were all matched by the lookups from new.
  while (m.found_by_lookup < m.old_left) {
    PyObject *key = nullptr, *value = nullptr;
    std::string_view text;
    switch (read(m.old_side, key, value, text)) {
      case Read::Foreign: return Step::Foreign;
      case Read::End: return Step::End;
      case Read::Member: break;
    }
    take(m.old_side);
    if (!keys_checked(m.new_side)) return Step::Foreign;
    PyObject* after = lookup(m.new_side, key);
    if (after == nullptr && PyErr_Occurred()) return Step::Failed;
    if (after != nullptr) continue;  // matched already
    m.key = key;
    event = Event{text, value, nullptr};
    --m.old_left;  // one fewer to account for
    return Step::Removed;
  }
  return Step::End;
}

SerialOf PythonDiffDocument::serial(Node element, std::string_view& out) {
  if (Py_TYPE(element) != &PyDict_Type) return shape(element) == Shape::Foreign ? SerialOf::Foreign : SerialOf::None;
  // Found by reading the keys rather than by a lookup, which could run the equality of a key that
  // is no str. Other keys are the business of whoever reads the element as a whole.
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  PyObject* found = nullptr;
  while (PyDict_Next(element, &position, &key, &value)) {
    if (!PyUnicode_Check(key) || PyUnicode_GET_LENGTH(key) != 1 || PyUnicode_ReadChar(key, 0) != '_') continue;
    if (!PyUnicode_CheckExact(key)) return SerialOf::Foreign;  // a subclass "_": the conversion's rules
    found = value;
  }
  if (found == nullptr) return SerialOf::None;
  if (Py_TYPE(found) == &PyUnicode_Type) {
    if (utf8_view(found, out)) return SerialOf::Serial;
    PyErr_Clear();
    return SerialOf::Foreign;
  }
  return shape(found) == Shape::Foreign ? SerialOf::Foreign : SerialOf::None;
}

// Two values compared as the values they convert to, with a work list of their containers. Runs
// no code of the data: Foreign at the first value that needs the conversion's rules.
Outcome PythonDiffDocument::compare(Node old_value, Node new_value, int depth, std::vector<std::string>& where,
                                    std::size_t budget) {
  std::vector<Level>& levels = levels_;  // its room is kept from one comparison to the next
  levels.clear();
  bool collided = false;
  const auto note_collision = [&] {
    if (collided) return;
    collided = true;
    where.clear();
    for (const Level& level : levels)
      where.push_back(level.old_list != nullptr ? diff_rules::index_key(level.next - 1) : std::string(level.key));
  };
  PyObject* a = old_value;
  PyObject* b = new_value;
  // Records mostly are plainly equal: one pass settles it, else the work list below decides.
  if (constexpr int kLevels = 4; Py_TYPE(a) == &PyDict_Type && depth + kLevels < kMaxInputDepth) {
    std::size_t quick_budget = budget;
    if (plainly_same(a, b, quick_budget, kLevels)) return Outcome::Equal;
  }
  for (;;) {
    if (budget-- == 0) return Outcome::Differ;
    if (a != b) {
      const Shape was = shape(a);
      const Shape is = shape(b);
      if (was == Shape::Foreign || is == Shape::Foreign) return Outcome::Foreign;
      if (was != is) return Outcome::Differ;
      const int at = depth + static_cast<int>(levels.size());
      if (is == Shape::Scalar) {
        const Outcome outcome = compare_scalars(a, b);
        if (outcome == Outcome::Collision) {
          note_collision();
        } else if (outcome != Outcome::Equal) {
          return outcome;
        }
      } else if (at >= kMaxInputDepth) {
        return Outcome::Foreign;  // the conversion refuses it
      } else if (is == Shape::Array) {
        if (PyList_GET_SIZE(a) != PyList_GET_SIZE(b)) return Outcome::Differ;
        levels.push_back(Level{a, b, 0, std::nullopt, {}});
      } else {
        if (PyDict_GET_SIZE(a) != PyDict_GET_SIZE(b)) return Outcome::Differ;
        levels.push_back(Level{nullptr, nullptr, 0, members(a, b), {}});
      }
    }
    // The next pair to compare, from the innermost container with one left.
    for (;;) {
      if (levels.empty()) return collided ? Outcome::Collision : Outcome::Equal;
      Level& level = levels.back();
      if (level.old_list != nullptr) {
        if (level.next < static_cast<std::size_t>(PyList_GET_SIZE(level.old_list))) {
          a = PyList_GET_ITEM(level.old_list, static_cast<Py_ssize_t>(level.next));
          b = PyList_GET_ITEM(level.new_list, static_cast<Py_ssize_t>(level.next));
          ++level.next;
          break;
        }
      } else {
        Event event;
        const Step step = next(*level.members, event);
        if (step == Step::Pair) {
          a = event.old_value;
          b = event.new_value;
          level.key = event.key;
          break;
        }
        if (step == Step::Foreign) return Outcome::Foreign;
        if (step == Step::Failed) return Outcome::Failed;
        if (step != Step::End) return Outcome::Differ;
      }
      levels.pop_back();
    }
  }
}

}  // namespace

bool diff_python(PyObject* old_document, PyObject* new_document, Patch& out) {
  // Roots of any other kinds are converted first, so that a value that does not convert is reported
  // before what no patch expresses.
  if ((PyDict_CheckExact(old_document) && PyDict_CheckExact(new_document)) ||
      (PyList_CheckExact(old_document) && PyList_CheckExact(new_document))) {
    PythonDiffDocument document;
    std::variant<Patch, DiffStop> outcome = DiffWalk<PythonDiffDocument>(document).run(old_document, new_document);
    if (Patch* patch = std::get_if<Patch>(&outcome)) {
      out = std::move(*patch);
      return true;
    }
    DiffStop& stop = std::get<DiffStop>(outcome);
    if (std::holds_alternative<AdapterFailed>(stop)) return false;
    if (const Inexpressible* refusal = std::get_if<Inexpressible>(&stop)) return raise_inexpressible(*refusal);
  }
  // The conversion's rules decide the whole: both documents converted, then compared in the core.
  JsonValue was, is;
  if (!python_to_value(old_document, was) || !python_to_value(new_document, is)) return false;
  Result<Patch, Inexpressible> patch = diff_documents(was, is);
  if (!patch.ok()) return raise_inexpressible(patch.error());
  out = std::move(patch).value();
  return true;
}

}  // namespace quillfen::py
