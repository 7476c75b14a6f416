#include "python/objects/convert.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "base/key_table.h"
#include "patch/reserved_names.h"
#include "python/objects/errors.h"
#include "python/objects/py_ref.h"

namespace quillfen::py {

namespace {

// Made by module initialisation, kept for the process.
PyObject* the_serial_member = nullptr;

// ---------------------------------------------------------------------------------------------
// The rules for one object that is no exact built-in: numpy boolean, integer, float, string. Each
// attempt says whether it matched. What an attempt raises is discarded on the spot and the next
// rule runs, except what says nothing about the value's type: an interruption that is no Exception
// (KeyboardInterrupt, SystemExit) and MemoryError end the conversion, so that neither is lost.

enum class Attempt { Matched, NoMatch, Failed };  // Failed: an exception that ends the call is pending

Attempt abandon_attempt() {
  if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) return Attempt::Failed;
  PyErr_Clear();
  return Attempt::NoMatch;
}

Attempt matched_if(bool matched) { return matched ? Attempt::Matched : Attempt::NoMatch; }

// NaN and the infinities have no place in a document: they become the integer 0.
JsonValue double_value(double d) {
  if (!std::isfinite(d)) return JsonValue(JsonNumber::from_unsigned(0));
  return JsonValue(JsonNumber::from_double(d));
}

// Stores an int (or subclass) that lies in the signed 64-bit range; false, with nothing raised,
// for one outside it.
bool read_int64(PyObject* integer, JsonValue& out) {
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(integer, &overflow);
  if (overflow != 0) return false;
  if (v == -1 && PyErr_Occurred()) {  // not reachable for an int; never let an error leak
    PyErr_Clear();
    return false;
  }
  out = JsonValue(JsonNumber::from_signed(v));
  return true;
}

// Reads the text attribute `name` of a type into `out`: NoMatch when it cannot be read or is no
// str, Failed when reading it was interrupted.
Attempt read_type_text(PyObject* type, const char* name, PyRef& out) {
  out = PyRef::steal(PyObject_GetAttrString(type, name));  // a metaclass may run Python code
  if (!out) return abandon_attempt();
  return matched_if(PyUnicode_Check(out.get()));
}

bool text_is(const PyRef& text, const char* expected) { return PyUnicode_CompareWithASCIIString(text.get(), expected) == 0; }

// Matched when `type` names a numpy boolean: its __module__ is "numpy" and its __name__ "bool_" or
// "bool". The texts decide, so numpy is never imported.
Attempt names_numpy_bool(PyTypeObject* type) {
  if (Py_TYPE(type) == &PyType_Type) {
    // Without a metaclass, __name__ is what follows the last dot of tp_name: a cheap filter that
    // spares every other object two attribute lookups.
    const char* dot = std::strrchr(type->tp_name, '.');
    const char* name = dot != nullptr ? dot + 1 : type->tp_name;
    if (std::strcmp(name, "bool_") != 0 && std::strcmp(name, "bool") != 0) return Attempt::NoMatch;
  }
  PyObject* type_obj = reinterpret_cast<PyObject*>(type);
  PyRef module;
  if (const Attempt read = read_type_text(type_obj, "__module__", module); read != Attempt::Matched) return read;
  if (!text_is(module, "numpy")) return Attempt::NoMatch;
  PyRef name;
  if (const Attempt read = read_type_text(type_obj, "__name__", name); read != Attempt::Matched) return read;
  return matched_if(text_is(name, "bool_") || text_is(name, "bool"));
}

Attempt try_numpy_bool(PyObject* obj, JsonValue& out) {
  PyRef type = PyRef::borrow(reinterpret_cast<PyObject*>(Py_TYPE(obj)));  // a metaclass hook may rebind obj's class
  auto* type_ptr = reinterpret_cast<PyTypeObject*>(type.get());
  if (const Attempt named = names_numpy_bool(type_ptr); named != Attempt::Matched) return named;
  PyNumberMethods* number = type_ptr->tp_as_number;
  if (number == nullptr || number->nb_bool == nullptr) return Attempt::NoMatch;
  const int truth = number->nb_bool(obj);
  if (truth < 0) return abandon_attempt();
  out = JsonValue(truth != 0);
  return Attempt::Matched;
}

Attempt try_integer(PyObject* obj, JsonValue& out) {
  if (PyLong_Check(obj)) return matched_if(read_int64(obj, out));
  if (!PyIndex_Check(obj)) return Attempt::NoMatch;
  PyRef index = PyRef::steal(PyNumber_Index(obj));  // runs __index__
  if (!index) return abandon_attempt();
  return matched_if(read_int64(index.get(), out));
}

Attempt try_float(PyObject* obj, JsonValue& out) {
  // The interpreter's float conversion uses __float__, else __index__; without either it can only
  // raise, so it is not called.
  PyNumberMethods* number = Py_TYPE(obj)->tp_as_number;
  if (!PyFloat_Check(obj) && (number == nullptr || (number->nb_float == nullptr && number->nb_index == nullptr)))
    return Attempt::NoMatch;
  const double d = PyFloat_AsDouble(obj);
  if (d == -1.0 && PyErr_Occurred()) return abandon_attempt();
  out = double_value(d);
  return Attempt::Matched;
}

Attempt try_string(PyObject* obj, JsonValue& out) {
  if (!PyUnicode_Check(obj)) return Attempt::NoMatch;
  std::string_view text;
  if (!utf8_view(obj, text)) return abandon_attempt();  // a lone surrogate
  out = JsonValue(std::string(text));
  return Attempt::Matched;
}

// The scalar rules in order, for an object of no exact built-in type (None and bool, which cannot
// be subclassed, are taken before).
Attempt scalar_by_rules(PyObject* obj, JsonValue& out) {
  for (Attempt (*attempt)(PyObject*, JsonValue&) : {try_numpy_bool, try_integer, try_float, try_string}) {
    const Attempt outcome = attempt(obj, out);
    if (outcome != Attempt::NoMatch) return outcome;
  }
  return Attempt::NoMatch;
}

// ---------------------------------------------------------------------------------------------
// Making Python objects.

bool is_ascii(std::string_view text) noexcept {
  const char* p = text.data();
  std::size_t n = text.size();
  for (; n >= 8; p += 8, n -= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    if ((word & 0x8080808080808080ULL) != 0) return false;
  }
  for (; n > 0; ++p, --n)
    if (static_cast<unsigned char>(*p) >= 0x80) return false;
  return true;
}

PyObject* number_to_python(JsonNumber number) {
  switch (number.kind()) {
    case JsonNumber::Kind::Negative: return PyLong_FromLongLong(number.as_negative());
    case JsonNumber::Kind::Unsigned:
      if (number.as_unsigned() <= static_cast<std::uint64_t>(LLONG_MAX))
        return PyLong_FromLongLong(static_cast<long long>(number.as_unsigned()));
      return PyFloat_FromDouble(static_cast<double>(number.as_unsigned()));  // the nearest double
    case JsonNumber::Kind::Double: return PyFloat_FromDouble(number.as_double());
  }
  return nullptr;
}

PyObject* scalar_to_python(const JsonValue& value) {
  switch (value.kind()) {
    case JsonValue::Kind::Null: Py_RETURN_NONE;
    case JsonValue::Kind::Boolean:
      if (value.as_bool()) Py_RETURN_TRUE;
      Py_RETURN_FALSE;
    case JsonValue::Kind::Number: return number_to_python(value.as_number());
    case JsonValue::Kind::String: return new_str(value.as_string());
    default: return nullptr;  // containers are the callers'
  }
}

// The positions of `count` members in ascending byte order of their keys, stably (of two members
// with one text the later comes later). Documents mostly come in order already, or as an ordered
// run followed by a few more members, and records are short.
void key_order(const DictMember* members, std::size_t count, std::vector<std::size_t>& order) {
  order.resize(count);
  for (std::size_t i = 0; i < count; ++i) order[i] = i;
  auto less = [members](std::size_t a, std::size_t b) { return members[a].text < members[b].text; };
  auto tail = std::is_sorted_until(order.begin(), order.end(), less);
  if (tail == order.end()) return;
  if (count <= 16) {
    for (auto it = tail; it != order.end(); ++it) {  // insertion sort: nothing to allocate
      const std::size_t moving = *it;
      auto hole = it;
      for (; hole != order.begin() && less(moving, hole[-1]); --hole) *hole = hole[-1];
      *hole = moving;
    }
    return;
  }
  std::stable_sort(tail, order.end(), less);
  std::inplace_merge(order.begin(), tail, order.end(), less);
}

// A new dict, sized once, of the members taken in `order`. Two keys of one text (subclasses with
// their own equality) keep the later member, as in a document: it replaces the earlier under the
// same plain key. A new reference, or null with a Python exception set.
PyObject* dict_in_order(DictMember* members, const std::vector<std::size_t>& order) {
  PyRef result = PyRef::steal(new_dict(static_cast<Py_ssize_t>(order.size())));
  if (!result) return nullptr;
  for (std::size_t i : order) {
    DictMember& m = members[i];
    PyRef key = PyUnicode_CheckExact(m.key.get()) ? std::move(m.key) : PyRef::steal(new_str(m.text));
    if (!key || PyDict_SetItem(result.get(), key.get(), m.value.get()) != 0) return nullptr;
  }
  return result.release();
}

// ---------------------------------------------------------------------------------------------
// The walk over a Python input, generic over what it builds (a Sink): JsonValues, or normalised
// Python objects. It decides which rule applies to each object and reads the containers; the sink
// makes the values.
//
// A Sink provides: `Value`; `List`/`Dict` builders made by begin_list(size)/begin_dict(size) and
// filled by add(...), ended by end(builder, out); and, for scalars, scalar(obj, ExactScalar, out)
// for an object of an exact scalar type and from_rules(JsonValue, out) for any other. Every sink
// operation returns false with a Python exception set.

template <class Sink>
class InputWalk {
  using Value = typename Sink::Value;

 public:
  // `removed`: members pending removal, passed over. `max_depth`: how many levels of containers the
  // input may nest (kMaxInputDepth, less the containers that already enclose it).
  InputWalk(Sink& sink, const HiddenMembers* removed, int max_depth)
      : sink_(sink), removed_(removed), max_depth_(static_cast<std::size_t>(std::max(max_depth, 0))) {}

  bool run(PyObject* root, Value& out) {
    frames_.clear();  // what a failed run left
    switch (take(root, out)) {
      case Took::Failed: return false;
      case Took::Value: return true;
      case Took::Opened: break;
    }
    for (;;) {
      Frame& frame = frames_.back();
      const Next next = frame.is_dict ? next_pair(frame) : next_element(frame);
      if (next == Next::Failed) return false;
      Value value{};
      if (next == Next::Item) {
        const Took took = take(frame.item.get(), value);  // may open a frame: `frame` is stale after it
        if (took == Took::Failed) return false;
        if (took == Took::Opened) continue;
      } else if (!close(value)) {
        return false;
      } else if (frames_.empty()) {
        out = std::move(value);
        return true;
      }
      if (!deliver(std::move(value))) return false;
    }
  }

 private:
  enum class Took { Value, Opened, Failed };
  enum class Next { Item, End, Failed };

  // One list or dict being read. Both the container and the item being converted are held: a hook
  // may drop the container's references to them.
  struct Frame {
    Frame(PyObject* c, bool d, Py_ssize_t s) : container(PyRef::borrow(c)), is_dict(d), start(s) {}
    PyRef container;
    bool is_dict;
    bool skips_removed = false;  // some members of this dict are pending removal
    Py_ssize_t start;      // the length or size when reading began
    Py_ssize_t next = 0;   // the next list position, or the dict's iteration position
    Py_ssize_t pairs = 0;  // pairs read from a dict
    PyRef item;
    PyRef key;  // the dict key of `item`, and its text (alive as long as `key`)
    std::string_view key_text;
    typename Sink::List list{};
    typename Sink::Dict dict{};
  };

  // Converts `obj`: a scalar into `out`, or a container by opening a frame for it.
  Took take(PyObject* obj, Value& out) {
    PyTypeObject* type = Py_TYPE(obj);
    // For exact built-ins no hook can change which rule applies, so each goes straight to its own.
    if (type == &PyDict_Type) return open(obj, true);
    if (type == &PyList_Type) return open(obj, false);
    ExactScalar scalar;
    switch (read_exact_scalar(obj, scalar)) {
      case ScalarRead::Read: return done(sink_.scalar(obj, scalar, out));
      case ScalarRead::Refused: return done(raise_unsupported());  // no later rule takes it
      case ScalarRead::Failed: return Took::Failed;
      case ScalarRead::Other: break;
    }
    return by_rules(obj, out);
  }

  static Took done(bool ok) { return ok ? Took::Value : Took::Failed; }

  // Every rule in order, for numpy booleans, subclasses and objects with hooks.
  Took by_rules(PyObject* obj, Value& out) {
    ran_rules_ = true;  // hooks of the object may run
    JsonValue scalar;
    switch (scalar_by_rules(obj, scalar)) {
      case Attempt::Matched: return done(sink_.from_rules(std::move(scalar), out));
      case Attempt::Failed: return Took::Failed;
      case Attempt::NoMatch: break;
    }
    if (PyList_Check(obj)) return open(obj, false);
    if (PyDict_Check(obj)) return open(obj, true);
    raise_unsupported();
    return Took::Failed;
  }

  Took open(PyObject* container, bool is_dict) {
    if (frames_.size() >= max_depth_) {
      raise_too_deep();
      return Took::Failed;
    }
    const Py_ssize_t start = is_dict ? PyDict_GET_SIZE(container) : PyList_GET_SIZE(container);
    Frame& frame = frames_.emplace_back(container, is_dict, start);
    frame.skips_removed = is_dict && removed_ != nullptr && removed_->any_in(container);
    if (is_dict ? !sink_.begin_dict(start, frame.dict) : !sink_.begin_list(start, frame.list)) return Took::Failed;
    return Took::Opened;
  }

  // Holds the list's next element; End once past the smaller of the starting length and the current
  // one (a hook run by an element may shrink the list).
  static Next next_element(Frame& frame) {
    if (frame.next >= std::min(frame.start, PyList_GET_SIZE(frame.container.get()))) return Next::End;
    frame.item = PyRef::borrow(PyList_GET_ITEM(frame.container.get(), frame.next));
    ++frame.next;
    return Next::Item;
  }

  // Holds the dict's next pair and reads the key's text. Members whose removal is pending (an
  // in-place edit under way) are passed over.
  Next next_pair(Frame& frame) {
    for (;;) {
      PyObject* key = nullptr;
      PyObject* value = nullptr;
      if (!PyDict_Next(frame.container.get(), &frame.next, &key, &value)) return Next::End;
      ++frame.pairs;
      frame.key = PyRef::borrow(key);
      frame.item = PyRef::borrow(value);
      if (!PyUnicode_Check(key)) {
        raise_cannot_convert(key, "PyString");
        return Next::Failed;
      }
      if (!utf8_view(key, frame.key_text)) return Next::Failed;  // the encoding error, as raised
      if (!frame.skips_removed || !removed_->contains(frame.container.get(), frame.key_text)) return Next::Item;
    }
  }

  // Ends the innermost container into `out` and drops its frame.
  bool close(Value& out) {
    Frame& frame = frames_.back();
    const bool ok = frame.is_dict ? sink_.end(frame.dict, out) : sink_.end(frame.list, out);
    frames_.pop_back();
    return ok;
  }

  // Adds a converted item to the innermost container. A hook that changed a dict's size or keys
  // stops the walk: PyDict_Next stays safe, but the members read would no longer be the dict's.
  bool deliver(Value value) {
    Frame& frame = frames_.back();
    if (!frame.is_dict) return sink_.add(frame.list, std::move(value));
    if (!sink_.add(frame.dict, frame.key.get(), frame.key_text, std::move(value))) return false;
    if (PyDict_GET_SIZE(frame.container.get()) != frame.start)
      return raise_fatal_error("dictionary changed size during iteration");
    if (frame.pairs > frame.start) return raise_fatal_error("dictionary keys changed during iteration");
    return true;
  }

  Sink& sink_;
  const HiddenMembers* removed_;
  std::size_t max_depth_;

 public:
  bool ran_rules_ = false;  // whether an object of no exact built-in type was read by the rules

 private:
  std::vector<Frame> frames_;
};

// Builds JsonValues.
struct JsonSink {
  using Value = JsonValue;
  struct List {
    JsonArray items;
  };
  struct Dict {
    std::vector<JsonMember> members;
  };

  static bool begin_list(Py_ssize_t size, List& list) {
    list.items.reserve(static_cast<std::size_t>(size));
    return true;
  }
  static bool begin_dict(Py_ssize_t size, Dict& dict) {
    dict.members.reserve(static_cast<std::size_t>(size));
    return true;
  }
  static bool add(List& list, Value value) {
    list.items.push_back(std::move(value));
    return true;
  }
  static bool add(Dict& dict, PyObject*, std::string_view key, Value value) {
    dict.members.push_back(JsonMember{std::string(key), std::move(value)});
    return true;
  }
  static bool end(List& list, Value& out) {
    out = JsonValue(std::move(list.items));
    return true;
  }
  static bool end(Dict& dict, Value& out) {
    out = JsonValue(JsonObject::from_members(std::move(dict.members)));  // sorted once; a later equal key wins
    return true;
  }

  static bool scalar(PyObject*, const ExactScalar& scalar, Value& out) {
    out = scalar.value();
    return true;
  }
  static bool from_rules(JsonValue scalar, Value& out) {
    out = std::move(scalar);
    return true;
  }
};

// The key order of the dicts of one walk. Records of one document mostly hold the same key objects
// in the same order, in a few shapes: the order of each shape is worked out once. The keys of a
// shape are held, so none can be freed and its address taken by another str while the walk runs.
class KeyOrders {
 public:
  // The positions of `count` members in ascending byte order of their keys; valid until the next call.
  const std::vector<std::size_t>& of(const DictMember* members, std::size_t count);

 private:
  static constexpr std::size_t kShapes = 8;
  static constexpr std::size_t kLongest = 32;  // longer dicts are not records
  struct Shape {
    std::vector<PyRef> keys;
    std::vector<std::size_t> order;
  };
  std::vector<Shape> shapes_;
  std::size_t next_ = 0;
  std::vector<std::size_t> scratch_;
};

// Builds normalised Python objects: new lists and dicts, the input's own immutable scalars.
class PythonSink {
 public:
  using Value = PyRef;
  struct List {
    PyRef list;
    Py_ssize_t filled = 0;
  };
  struct Dict {
    std::size_t first = 0;  // where this dict's members start in the shared scratch
  };

  bool begin_list(Py_ssize_t size, List& list) {
    list.list = PyRef::steal(PyList_New(size));
    return static_cast<bool>(list.list);
  }
  // Drops what a failed walk left.
  void reset() { members_.clear(); }

  bool begin_dict(Py_ssize_t, Dict& dict) {
    dict.first = members_.size();
    return true;
  }
  static bool add(List& list, Value value) {
    PyList_SET_ITEM(list.list.get(), list.filled++, value.release());
    return true;
  }
  bool add(Dict&, PyObject* key, std::string_view text, Value value) {
    members_.push_back(DictMember{text, PyRef::borrow(key), std::move(value)});
    return true;
  }
  static bool end(List& list, Value& out) {
    // A hook may have shrunk the source list: drop the slots that were never filled.
    const Py_ssize_t size = PyList_GET_SIZE(list.list.get());
    if (list.filled < size && PyList_SetSlice(list.list.get(), list.filled, size, nullptr) != 0) return false;
    out = std::move(list.list);
    return true;
  }
  bool end(Dict& dict, Value& out);

  // The input's own object, unless it converts to another value.
  static bool scalar(PyObject* obj, const ExactScalar& scalar, Value& out) {
    out = scalar.changed ? PyRef::steal(scalar_to_python(scalar.value())) : PyRef::borrow(obj);
    return static_cast<bool>(out);
  }
  static bool from_rules(JsonValue scalar, Value& out) {
    out = PyRef::steal(scalar_to_python(scalar));
    return static_cast<bool>(out);
  }

 private:
  std::vector<DictMember> members_;  // the members of every dict being read, innermost last
  KeyOrders orders_;
};

bool PythonSink::end(Dict& dict, Value& out) {
  DictMember* first = members_.data() + dict.first;
  const std::size_t count = members_.size() - dict.first;
  out = PyRef::steal(dict_in_order(first, orders_.of(first, count)));
  members_.resize(dict.first);
  return static_cast<bool>(out);
}

const std::vector<std::size_t>& KeyOrders::of(const DictMember* members, std::size_t count) {
  for (Shape& shape : shapes_) {
    if (shape.keys.size() != count || count == 0) continue;
    std::size_t i = 0;
    while (i < count && members[i].key.get() == shape.keys[i].get()) ++i;
    if (i == count) return shape.order;
  }
  const bool exact = std::all_of(members, members + count, [](const DictMember& m) { return PyUnicode_CheckExact(m.key.get()); });
  if (!exact || count == 0 || count > kLongest) {
    key_order(members, count, scratch_);
    return scratch_;
  }
  if (shapes_.size() < kShapes) shapes_.emplace_back();
  Shape& shape = shapes_[next_++ % kShapes];
  shape.keys.clear();
  for (std::size_t i = 0; i < count; ++i) shape.keys.push_back(PyRef::borrow(members[i].key.get()));
  key_order(members, count, shape.order);
  return shape.order;
}

// ---------------------------------------------------------------------------------------------
// JsonValue to Python.

}  // namespace

Text read_text(PyObject* str, std::string_view& out) {
  if (utf8_view(str, out)) return Text::Read;
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return Text::Failed;
  PyErr_Clear();
  return Text::NotEncodable;
}

bool utf8_view(PyObject* str, std::string_view& out) {
  // An ASCII str's characters are its UTF-8 bytes: read where they stand, they spare a call per
  // key (a fifth of apply_inplace's time on documents of small records). The documented accessors
  // suffice: PyUnicode_MAX_CHAR_VALUE bounds the code points from above, and a str bounded by 0x7f
  // is stored one byte per character. Any other str takes the call.
  if (PyUnicode_MAX_CHAR_VALUE(str) <= 0x7f) {
    out = std::string_view(static_cast<const char*>(PyUnicode_DATA(str)), static_cast<std::size_t>(PyUnicode_GET_LENGTH(str)));
    return true;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(str, &size);
  if (text == nullptr) return false;
  out = std::string_view(text, static_cast<std::size_t>(size));
  return true;
}

PyObject* new_str(std::string_view text) {
  if (!is_ascii(text)) return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
  PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127);
  if (str != nullptr && !text.empty()) std::memcpy(PyUnicode_1BYTE_DATA(str), text.data(), text.size());
  return str;
}

ToPython::ToPython() = default;
ToPython::~ToPython() = default;

PyObject* ToPython::key(std::string_view key) {
  const std::size_t i = key_table_.insert(key, key_texts_.size(), KeyTexts{&key_texts_});
  if (i == key_texts_.size()) {
    key_texts_.push_back(key);
    key_strs_.push_back(PyRef::steal(new_str(key)));
  }
  return key_strs_[i].get();  // null where making the str failed
}

PyObject* ToPython::convert(const JsonValue& value) { return run(value, nullptr); }

PyObject* ToPython::convert_stamped(const JsonValue& value, std::string_view serial) { return run(value, &serial); }

PyObject* ToPython::run(const JsonValue& root, const std::string_view* stamp) {
  if (!root.is_container()) return scalar_to_python(root);
  frames_.clear();  // what a failed conversion left behind
  if (!open(root, stamp)) return nullptr;
  for (;;) {
    Frame& frame = frames_.back();
    const JsonValue* child = nullptr;
    if (frame.source->is_array()) {
      const JsonArray& items = frame.source->as_array();
      if (frame.next < items.size()) {
        child = &items[frame.next++];
        if (!child->is_container()) {
          PyObject* item = scalar_to_python(*child);
          if (item == nullptr) return nullptr;
          PyList_SET_ITEM(frame.result.get(), static_cast<Py_ssize_t>(frame.next - 1), item);
          continue;
        }
      }
    } else {
      const std::vector<JsonMember>& members = frame.source->as_object().members();
      if (frame.stamp != nullptr && (frame.next == members.size() || members[frame.next].key >= kSerialMember)) {
        if (!stamp_serial(frame)) return nullptr;
        if (frame.next < members.size() && members[frame.next].key == kSerialMember) ++frame.next;  // replaced
        continue;
      }
      if (frame.next < members.size()) {
        const JsonMember& member = members[frame.next++];
        PyObject* member_key = key(member.key);
        if (member_key == nullptr) return nullptr;
        if (!member.value.is_container()) {
          PyRef value = PyRef::steal(scalar_to_python(member.value));
          if (!value || PyDict_SetItem(frame.result.get(), member_key, value.get()) != 0) return nullptr;
          continue;
        }
        frame.key = member_key;
        child = &member.value;
      }
    }
    if (child != nullptr) {
      if (!open(*child, nullptr)) return nullptr;
      continue;
    }
    // The innermost container is complete: it goes into its parent, or is the result.
    PyRef done = std::move(frame.result);
    frames_.pop_back();
    if (frames_.empty()) return done.release();
    Frame& parent = frames_.back();
    if (parent.source->is_array()) {
      PyList_SET_ITEM(parent.result.get(), static_cast<Py_ssize_t>(parent.next - 1), done.release());
    } else if (PyDict_SetItem(parent.result.get(), parent.key, done.get()) != 0) {
      return nullptr;
    }
  }
}

bool ToPython::open(const JsonValue& source, const std::string_view* stamp) {
  PyRef result = PyRef::steal(source.is_array() ? PyList_New(static_cast<Py_ssize_t>(source.as_array().size()))
                                                : new_dict(static_cast<Py_ssize_t>(source.as_object().size()) + (stamp != nullptr ? 1 : 0)));
  if (!result) return false;
  frames_.push_back(Frame{&source, 0, std::move(result), nullptr, source.is_object() ? stamp : nullptr});
  return true;
}

bool ToPython::stamp_serial(Frame& frame) {
  PyObject* member_key = key(kSerialMember);
  PyRef serial = PyRef::steal(new_str(*frame.stamp));
  frame.stamp = nullptr;
  return member_key != nullptr && serial && PyDict_SetItem(frame.result.get(), member_key, serial.get()) == 0;
}

PyObject* new_dict(Py_ssize_t members) {
  // Presizing spares a dict the resizes of being filled one member at a time (3 to 7% of apply's
  // time on documents of small records), but the interpreter offers it only outside its documented
  // API, as _PyDict_NewPresized, which 3.9 through 3.13 declare. The call is resolved when the
  // generic lambda is instantiated, so headers that do not declare it select a plain new dict.
  auto presized = [](auto size) -> PyObject* {
    if constexpr (requires { _PyDict_NewPresized(size); }) {
      return _PyDict_NewPresized(size);
    } else {
      return PyDict_New();
    }
  };
  return presized(members);
}

PyObject* dict_in_key_order(DictMember* first, DictMember* last) {
  std::vector<std::size_t> order;
  key_order(first, static_cast<std::size_t>(last - first), order);
  return dict_in_order(first, order);
}

bool python_to_value(PyObject* obj, JsonValue& out, const HiddenMembers* removed, int max_depth) {
  JsonSink sink;
  return InputWalk<JsonSink>(sink, removed, max_depth).run(obj, out);
}

PyObject* normalized_copy(PyObject* obj, const HiddenMembers* removed) {
  PythonSink sink;
  PyRef out;
  if (!InputWalk<PythonSink>(sink, removed, kMaxInputDepth).run(obj, out)) return nullptr;
  return out.release();
}

struct NormalizedCopies::Walk {
  PythonSink sink;
  InputWalk<PythonSink> walk{sink, nullptr, kMaxInputDepth};
};

NormalizedCopies::NormalizedCopies() : walk_(std::make_unique<Walk>()) {}
NormalizedCopies::~NormalizedCopies() = default;

PyObject* NormalizedCopies::copy(PyObject* obj) {
  walk_->sink.reset();
  PyRef out;
  if (!walk_->walk.run(obj, out)) return nullptr;
  return out.release();
}

bool reads_as_container(PyObject* obj, bool& container) {
  PyTypeObject* type = Py_TYPE(obj);
  container = type == &PyDict_Type || type == &PyList_Type;
  if (container || type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type || obj == Py_None ||
      type == &PyBool_Type)
    return true;
  JsonValue scalar;
  switch (scalar_by_rules(obj, scalar)) {
    case Attempt::Matched: return true;
    case Attempt::Failed: return false;
    case Attempt::NoMatch: break;
  }
  container = PyList_Check(obj) || PyDict_Check(obj);
  return container || raise_unsupported();
}

PyObject* value_to_python(const JsonValue& value) { return ToPython().convert(value); }

PyObject* serial_member() noexcept { return the_serial_member; }

bool make_shared_objects() {
  if (the_serial_member == nullptr) the_serial_member = PyUnicode_InternFromString(kSerialMember.data());  // a literal: NUL-terminated
  return the_serial_member != nullptr;
}

bool python_to_value_at(PyObject* obj, int depth, JsonValue& out, bool* ran_code) {
  JsonSink sink;
  InputWalk<JsonSink> walk(sink, nullptr, kMaxInputDepth - depth);
  const bool ok = walk.run(obj, out);
  if (ran_code != nullptr) *ran_code = walk.ran_rules_;
  return ok;
}

}  // namespace quillfen::py
