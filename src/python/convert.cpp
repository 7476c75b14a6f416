#include "python/convert.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "base/depth_guard.h"
#include "python/errors.h"
#include "python/py_ref.h"

namespace quillfen::py {

namespace {

bool to_value(PyObject* obj, int depth, JsonValue& out);

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

bool has_text(PyObject* obj, const char* text) {
  return obj != nullptr && PyUnicode_Check(obj) && PyUnicode_CompareWithASCIIString(obj, text) == 0;
}

// True when `type` names a numpy boolean: its __module__ is "numpy" and its __name__ "bool_" or
// "bool". The texts decide, so numpy is never imported.
bool names_numpy_bool(PyTypeObject* type) {
  if (Py_TYPE(type) == &PyType_Type) {
    // Without a metaclass, __name__ is what follows the last dot of tp_name: a cheap filter that
    // spares every other object two attribute lookups.
    const char* dot = std::strrchr(type->tp_name, '.');
    const char* name = dot != nullptr ? dot + 1 : type->tp_name;
    if (std::strcmp(name, "bool_") != 0 && std::strcmp(name, "bool") != 0) return false;
  }
  PyObject* type_obj = reinterpret_cast<PyObject*>(type);
  PyRef module = PyRef::steal(PyObject_GetAttrString(type_obj, "__module__"));
  if (!module) PyErr_Clear();
  if (!has_text(module.get(), "numpy")) return false;
  PyRef name = PyRef::steal(PyObject_GetAttrString(type_obj, "__name__"));
  if (!name) PyErr_Clear();
  return has_text(name.get(), "bool_") || has_text(name.get(), "bool");
}

// The attempts of the rules for objects of no exact built-in type. Each says whether it matched.
// What an attempt raises is discarded on the spot and the next rule runs, with one exception: an
// interruption that is no Exception (KeyboardInterrupt, SystemExit) raised by a hook ends the
// conversion, so that it is never lost.
enum class Attempt { Matched, NoMatch, Failed };  // Failed: an interruption is pending

Attempt abandon_attempt() {
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return Attempt::Failed;
  PyErr_Clear();
  return Attempt::NoMatch;
}

Attempt matched_if(bool matched) { return matched ? Attempt::Matched : Attempt::NoMatch; }

Attempt try_numpy_bool(PyObject* obj, JsonValue& out) {
  PyRef type = PyRef::borrow(reinterpret_cast<PyObject*>(Py_TYPE(obj)));  // a metaclass hook may rebind obj's class
  auto* type_ptr = reinterpret_cast<PyTypeObject*>(type.get());
  if (!names_numpy_bool(type_ptr)) return Attempt::NoMatch;
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
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(obj, &size);  // fails for a lone surrogate
  if (text == nullptr) return abandon_attempt();
  out = JsonValue(std::string(text, static_cast<std::size_t>(size)));
  return Attempt::Matched;
}

// A list or dict being read keeps its state in one object, and everything but the recursive call
// happens in helpers kept out of line, so a level of nesting costs one small frame (in sanitizer
// builds above all, where every local of a frame gets its own guard zone).

struct ListReader {
  [[gnu::noinline]] explicit ListReader(PyObject* l) : list(l), start_len(PyList_GET_SIZE(l)) {
    items.reserve(static_cast<std::size_t>(start_len));
  }
  PyObject* list;  // held by the caller
  Py_ssize_t start_len;
  Py_ssize_t next = 0;
  PyRef item;  // held while converted: a hook may drop the list's reference
  JsonArray items;
};

// Holds the next element and makes its slot; null once past the smaller of the starting length
// and the current one (a hook run by an element may shrink the list).
[[gnu::noinline]] JsonValue* next_element(ListReader& reader) {
  if (reader.next >= std::min(reader.start_len, PyList_GET_SIZE(reader.list))) return nullptr;
  reader.item = PyRef::borrow(PyList_GET_ITEM(reader.list, reader.next));
  ++reader.next;
  return &reader.items.emplace_back();
}

[[gnu::noinline]] void finish_list(ListReader& reader, JsonValue& out) { out = JsonValue(std::move(reader.items)); }

bool list_to_value(PyObject* list, int depth, JsonValue& out) {
  if (too_deep(depth)) return raise_too_deep();
  ListReader reader(list);
  while (JsonValue* slot = next_element(reader))
    if (!to_value(reader.item.get(), depth + 1, *slot)) return false;
  finish_list(reader, out);
  return true;
}

struct DictReader {
  [[gnu::noinline]] explicit DictReader(PyObject* d) : dict(d), start_size(PyDict_GET_SIZE(d)) {
    members.reserve(static_cast<std::size_t>(start_size));
  }
  PyObject* dict;  // held by the caller
  Py_ssize_t start_size;
  Py_ssize_t pos = 0;
  Py_ssize_t pairs_seen = 0;
  PyRef key;  // both held while the value is converted: a hook may remove them from the dict
  PyRef value;
  std::vector<JsonMember> members;
  bool failed = false;
};

// Holds the dict's next pair and appends a member under the key's text, returning the member's
// value slot; null at the end, or with `failed` set and the key's error raised.
[[gnu::noinline]] JsonValue* next_member(DictReader& reader) {
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  if (!PyDict_Next(reader.dict, &reader.pos, &key, &value)) return nullptr;
  reader.key = PyRef::borrow(key);
  reader.value = PyRef::borrow(value);
  ++reader.pairs_seen;
  reader.failed = true;
  if (!PyUnicode_Check(key)) {
    raise_cannot_convert(key, "PyString");
    return nullptr;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(key, &size);
  if (text == nullptr) return nullptr;  // the encoding error, as raised
  reader.failed = false;
  return &reader.members.emplace_back(JsonMember{std::string(text, static_cast<std::size_t>(size)), JsonValue()}).value;
}

// A hook that changed the dict's size or keys stops the walk: PyDict_Next stays safe, but the
// members read would no longer be the dict's.
[[gnu::noinline]] bool dict_unchanged(const DictReader& reader) {
  if (PyDict_GET_SIZE(reader.dict) != reader.start_size) {
    raise_fatal_error("dictionary changed size during iteration");
    return false;
  }
  if (reader.pairs_seen > reader.start_size) {
    raise_fatal_error("dictionary keys changed during iteration");
    return false;
  }
  return true;
}

// Sorts the members once (a later equal key wins).
[[gnu::noinline]] void finish_dict(DictReader& reader, JsonValue& out) {
  out = JsonValue(JsonObject::from_members(std::move(reader.members)));
}

// Members in the dict's own order.
bool dict_to_value(PyObject* dict, int depth, JsonValue& out) {
  if (too_deep(depth)) return raise_too_deep();
  DictReader reader(dict);
  while (JsonValue* slot = next_member(reader))
    if (!to_value(reader.value.get(), depth + 1, *slot) || !dict_unchanged(reader)) return false;
  if (reader.failed) return false;
  finish_dict(reader, out);
  return true;
}

// Every rule in order, for numpy booleans, subclasses and objects with hooks (None and bool, which
// cannot be subclassed, are taken before). Kept out of line so the exact built-in types take a
// small frame per level.
[[gnu::noinline]] bool convert_by_rules(PyObject* obj, int depth, JsonValue& out) {
  if (!room_for_foreign_code()) return raise_too_deep();  // the attempts below may run Python code
  for (Attempt (*attempt)(PyObject*, JsonValue&) : {try_numpy_bool, try_integer, try_float, try_string}) {
    const Attempt outcome = attempt(obj, out);
    if (outcome != Attempt::NoMatch) return outcome == Attempt::Matched;
  }
  if (PyList_Check(obj)) return list_to_value(obj, depth, out);
  if (PyDict_Check(obj)) return dict_to_value(obj, depth, out);
  return raise_unsupported();
}

// An exact int: signed 64 bits if it fits, else the nearest double, else nothing converts it.
[[gnu::noinline]] bool exact_int_to_value(PyObject* obj, JsonValue& out) {
  if (read_int64(obj, out)) return true;
  const double d = PyLong_AsDouble(obj);
  if (d == -1.0 && PyErr_Occurred()) {  // beyond the double range: no later rule takes an int
    PyErr_Clear();
    return raise_unsupported();
  }
  out = double_value(d);
  return true;
}

// An exact str; one that does not encode (a lone surrogate) is matched by no later rule.
[[gnu::noinline]] bool exact_str_to_value(PyObject* obj, JsonValue& out) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
  if (text == nullptr) {
    PyErr_Clear();
    return raise_unsupported();
  }
  out = JsonValue(std::string(text, static_cast<std::size_t>(size)));
  return true;
}

[[gnu::noinline]] bool exact_float_to_value(PyObject* obj, JsonValue& out) {
  out = double_value(PyFloat_AS_DOUBLE(obj));
  return true;
}

[[gnu::noinline]] bool none_or_bool_to_value(PyObject* obj, JsonValue& out) {
  out = obj == Py_None ? JsonValue() : JsonValue(obj == Py_True);
  return true;
}

bool to_value(PyObject* obj, int depth, JsonValue& out) {
  PyTypeObject* type = Py_TYPE(obj);
  // For exact built-ins no hook can change which rule applies, so each goes straight to its own.
  if (type == &PyDict_Type) return dict_to_value(obj, depth, out);
  if (type == &PyList_Type) return list_to_value(obj, depth, out);
  if (type == &PyUnicode_Type) return exact_str_to_value(obj, out);
  if (type == &PyLong_Type) return exact_int_to_value(obj, out);
  if (type == &PyFloat_Type) return exact_float_to_value(obj, out);
  if (obj == Py_None || type == &PyBool_Type) return none_or_bool_to_value(obj, out);
  return convert_by_rules(obj, depth, out);
}

// value_to_python's pieces: each returns a new reference, or null with an exception set.

PyObject* to_python(const JsonValue& value, int depth);

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

PyObject* string_to_python(const std::string& text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
}

[[gnu::noinline]] PyObject* scalar_to_python(const JsonValue& value) {
  switch (value.kind()) {
    case JsonValue::Kind::Null: Py_RETURN_NONE;
    case JsonValue::Kind::Boolean:
      if (value.as_bool()) Py_RETURN_TRUE;
      Py_RETURN_FALSE;
    case JsonValue::Kind::Number: return number_to_python(value.as_number());
    case JsonValue::Kind::String: return string_to_python(value.as_string());
    default: return nullptr;  // containers are the callers'
  }
}

PyObject* array_to_python(const JsonArray& items, int depth) {
  if (too_deep(depth)) {
    raise_too_deep();
    return nullptr;
  }
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < items.size(); ++i) {
    PyObject* item = to_python(items[i], depth + 1);
    if (item == nullptr) return nullptr;  // the slots not yet filled are null, which the list allows
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

// Stores `value` (a new reference, taken over) under a new str of `key`.
[[gnu::noinline]] bool store_member(PyObject* dict, const std::string& key, PyObject* value) {
  PyRef held = PyRef::steal(value);
  PyRef key_obj = PyRef::steal(string_to_python(key));
  return key_obj && PyDict_SetItem(dict, key_obj.get(), held.get()) == 0;
}

PyObject* object_to_python(const JsonObject& object, int depth) {
  if (too_deep(depth)) {
    raise_too_deep();
    return nullptr;
  }
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  for (const JsonMember& member : object) {  // in key order, so the dict iterates that way too
    PyObject* value = to_python(member.value, depth + 1);
    if (value == nullptr || !store_member(dict.get(), member.key, value)) return nullptr;
  }
  return dict.release();
}

PyObject* to_python(const JsonValue& value, int depth) {
  if (value.is_array()) return array_to_python(value.as_array(), depth);
  if (value.is_object()) return object_to_python(value.as_object(), depth);
  return scalar_to_python(value);
}

}  // namespace

bool python_to_value(PyObject* obj, JsonValue& out) { return to_value(obj, 0, out); }

PyObject* value_to_python(const JsonValue& value) { return to_python(value, 0); }

}  // namespace quillfen::py
