#include "python/convert.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "json_value/depth_guard.h"
#include "python/arguments.h"
#include "python/patch_object.h"
#include "python/py_ref.h"

namespace quillfen::py {

namespace {

bool to_value(PyObject* obj, int depth, JsonValue& out);

bool refuse_depth() {
  PyErr_SetString(PyExc_RecursionError, "Recursion depth limit exceeded");
  return false;
}

bool unsupported() {
  PyErr_SetString(PyExc_TypeError, "Unsupported type for JSON conversion");
  return false;
}

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

// The attempts of the rules for objects of no exact built-in type. Each says whether it matched;
// what an attempt raises is discarded on the spot, and the next rule runs.

bool try_numpy_bool(PyObject* obj, JsonValue& out) {
  PyRef type = PyRef::borrow(reinterpret_cast<PyObject*>(Py_TYPE(obj)));  // a metaclass hook may rebind obj's class
  auto* type_ptr = reinterpret_cast<PyTypeObject*>(type.get());
  if (!names_numpy_bool(type_ptr)) return false;
  PyNumberMethods* number = type_ptr->tp_as_number;
  if (number == nullptr || number->nb_bool == nullptr) return false;
  const int truth = number->nb_bool(obj);
  if (truth < 0) {
    PyErr_Clear();
    return false;
  }
  out = JsonValue(truth != 0);
  return true;
}

bool try_integer(PyObject* obj, JsonValue& out) {
  if (PyLong_Check(obj)) return read_int64(obj, out);
  if (!PyIndex_Check(obj)) return false;
  PyRef index = PyRef::steal(PyNumber_Index(obj));  // runs __index__
  if (!index) {
    PyErr_Clear();
    return false;
  }
  return read_int64(index.get(), out);
}

bool try_float(PyObject* obj, JsonValue& out) {
  // The interpreter's float conversion uses __float__, else __index__; without either it can only
  // raise, so it is not called.
  PyNumberMethods* number = Py_TYPE(obj)->tp_as_number;
  if (!PyFloat_Check(obj) && (number == nullptr || (number->nb_float == nullptr && number->nb_index == nullptr)))
    return false;
  const double d = PyFloat_AsDouble(obj);
  if (d == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  out = double_value(d);
  return true;
}

bool try_string(PyObject* obj, JsonValue& out) {
  if (!PyUnicode_Check(obj)) return false;
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(obj, &size);  // fails for a lone surrogate
  if (text == nullptr) {
    PyErr_Clear();
    return false;
  }
  out = JsonValue(std::string(text, static_cast<std::size_t>(size)));
  return true;
}

// Elements up to the list's current length, which a hook run by an element may shrink.
bool list_to_value(PyObject* list, int depth, JsonValue& out) {
  if (too_deep(depth)) return refuse_depth();
  const Py_ssize_t start_len = PyList_GET_SIZE(list);
  JsonArray items;
  items.reserve(static_cast<std::size_t>(start_len));
  for (Py_ssize_t i = 0; i < std::min(start_len, PyList_GET_SIZE(list)); ++i) {
    PyRef item = PyRef::borrow(PyList_GET_ITEM(list, i));  // held: a hook may drop the list's reference
    if (!to_value(item.get(), depth + 1, items.emplace_back())) return false;
  }
  out = JsonValue(std::move(items));
  return true;
}

// Members in the dict's own order, sorted once at the end (a later equal key wins). A hook that
// changes the dict's size or keys stops the walk with the fatal error: PyDict_Next stays safe, but
// the members read would no longer be the dict's.
bool dict_to_value(PyObject* dict, int depth, JsonValue& out) {
  if (too_deep(depth)) return refuse_depth();
  const Py_ssize_t start_size = PyDict_GET_SIZE(dict);
  std::vector<JsonMember> members;
  members.reserve(static_cast<std::size_t>(start_size));
  Py_ssize_t pos = 0;
  Py_ssize_t pairs_seen = 0;
  PyObject* raw_key = nullptr;
  PyObject* raw_value = nullptr;
  while (PyDict_Next(dict, &pos, &raw_key, &raw_value)) {
    PyRef key = PyRef::borrow(raw_key);  // both held: a hook may remove them from the dict
    PyRef value = PyRef::borrow(raw_value);
    ++pairs_seen;
    if (!PyUnicode_Check(key.get())) {
      raise_cannot_convert(key.get(), "PyString");
      return false;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(key.get(), &size);
    if (text == nullptr) return false;  // the encoding error, as raised
    JsonMember& member = members.emplace_back(JsonMember{std::string(text, static_cast<std::size_t>(size)), JsonValue()});
    if (!to_value(value.get(), depth + 1, member.value)) return false;
    if (PyDict_GET_SIZE(dict) != start_size) {
      raise_fatal_error("dictionary changed size during iteration");
      return false;
    }
    if (pairs_seen > start_size) {
      raise_fatal_error("dictionary keys changed during iteration");
      return false;
    }
  }
  out = JsonValue(JsonObject::from_members(std::move(members)));
  return true;
}

// Every rule in order, for numpy booleans, subclasses and objects with hooks (None and bool, which
// cannot be subclassed, are taken before). Kept out of line so the exact built-in types take a
// small frame per level.
[[gnu::noinline]] bool convert_by_rules(PyObject* obj, int depth, JsonValue& out) {
  if (try_numpy_bool(obj, out) || try_integer(obj, out) || try_float(obj, out) || try_string(obj, out)) return true;
  if (PyList_Check(obj)) return list_to_value(obj, depth, out);
  if (PyDict_Check(obj)) return dict_to_value(obj, depth, out);
  return unsupported();
}

// An exact int: signed 64 bits if it fits, else the nearest double, else nothing converts it.
bool exact_int_to_value(PyObject* obj, JsonValue& out) {
  if (read_int64(obj, out)) return true;
  const double d = PyLong_AsDouble(obj);
  if (d == -1.0 && PyErr_Occurred()) {  // beyond the double range: no later rule takes an int
    PyErr_Clear();
    return unsupported();
  }
  out = double_value(d);
  return true;
}

// An exact str; one that does not encode (a lone surrogate) is matched by no later rule.
bool exact_str_to_value(PyObject* obj, JsonValue& out) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
  if (text == nullptr) {
    PyErr_Clear();
    return unsupported();
  }
  out = JsonValue(std::string(text, static_cast<std::size_t>(size)));
  return true;
}

bool to_value(PyObject* obj, int depth, JsonValue& out) {
  PyTypeObject* type = Py_TYPE(obj);
  // For exact built-ins no hook can change which rule applies, so each goes straight to its own.
  if (type == &PyUnicode_Type) return exact_str_to_value(obj, out);
  if (type == &PyDict_Type) return dict_to_value(obj, depth, out);
  if (type == &PyList_Type) return list_to_value(obj, depth, out);
  if (type == &PyLong_Type) return exact_int_to_value(obj, out);
  if (type == &PyFloat_Type) {
    out = double_value(PyFloat_AS_DOUBLE(obj));
    return true;
  }
  if (obj == Py_None) {
    out = JsonValue();
    return true;
  }
  if (type == &PyBool_Type) {
    out = JsonValue(obj == Py_True);
    return true;
  }
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

PyObject* array_to_python(const JsonArray& items, int depth) {
  if (too_deep(depth)) {
    refuse_depth();
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

PyObject* object_to_python(const JsonObject& object, int depth) {
  if (too_deep(depth)) {
    refuse_depth();
    return nullptr;
  }
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  for (const JsonMember& member : object) {  // in key order, so the dict iterates that way too
    PyRef value = PyRef::steal(to_python(member.value, depth + 1));
    if (!value) return nullptr;
    PyRef key = PyRef::steal(string_to_python(member.key));
    if (!key || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
  }
  return dict.release();
}

PyObject* to_python(const JsonValue& value, int depth) {
  switch (value.kind()) {
    case JsonValue::Kind::Null: Py_RETURN_NONE;
    case JsonValue::Kind::Boolean:
      if (value.as_bool()) Py_RETURN_TRUE;
      Py_RETURN_FALSE;
    case JsonValue::Kind::Number: return number_to_python(value.as_number());
    case JsonValue::Kind::String: return string_to_python(value.as_string());
    case JsonValue::Kind::Array: return array_to_python(value.as_array(), depth);
    case JsonValue::Kind::Object: return object_to_python(value.as_object(), depth);
  }
  return nullptr;
}

}  // namespace

bool python_to_value(PyObject* obj, JsonValue& out) { return to_value(obj, 0, out); }

PyObject* value_to_python(const JsonValue& value) { return to_python(value, 0); }

}  // namespace quillfen::py
