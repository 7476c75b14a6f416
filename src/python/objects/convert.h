// Conversion between Python objects and JsonValue, and the normalising copy of a Python document.
// All are deep copies. Every walk here keeps its own stack instead of recursing, so Python code that
// runs anywhere inside one (a hook, or a finalizer that an allocation lets the collector run) has
// the thread's stack to itself. Input nested deeper than kMaxInputDepth levels (kMaxDocumentDepth
// for the document form) is refused with RecursionError; output has no depth limit, so whatever a patch holds can be given back.
#pragma once

#include <Python.h>

#include <cmath>
#include <cstddef>
#include <memory>
#include <string_view>
#include <vector>

#include "base/key_table.h"
#include "json_value/json_value.h"
#include "python/objects/hidden_members.h"
#include "python/objects/py_ref.h"

namespace quillfen::py {

// Containers nested deeper than this in an argument are refused.
inline constexpr int kMaxInputDepth = 20000;
// The same for the document form that from_json reads, two levels more: writing a patch adds its
// own top-level dict above the values it holds and, in to_json_exact, a {"*": value} around a dict
// value. So every patch that other arguments made (a value of kMaxInputDepth levels under a key;
// a diff or merge, which hold nothing deeper than their arguments) reads back from both forms,
// and a patch read from a document is written again no deeper than that document. Counting a
// wrapper as no level instead would ask the conversion to tell operations from values.
inline constexpr int kMaxDocumentDepth = kMaxInputDepth + 2;

// Converts `obj` (borrowed) into `out`, trying the rules in order: None, bool (and numpy booleans),
// int and __index__, float and __float__, str, list, dict. May run Python code of the object (its
// __index__, __float__, a numpy bool's truth slot), which may change the containers being read:
// lists are read only up to their current length, and a dict that changes under the walk stops it
// with the fatal-error exception. Returns false with a Python exception set: TypeError for what
// does not convert, RecursionError for nesting deeper than `max_depth`; `out` is then
// unspecified and nothing else has changed.
// `removed`, when given, names members of the caller's dicts that an in-place edit under way has
// removed: the conversion passes over them. `max_depth` is the deepest nesting accepted.
bool python_to_value(PyObject* obj, JsonValue& out, const HiddenMembers* removed = nullptr, int max_depth = kMaxInputDepth);

// The same conversion, but into Python objects: what value_to_python(python_to_value(obj)) would
// give, made in one walk. Dicts and lists are new (dict keys in ascending byte order); the exact
// immutable scalars (str that encodes, int in the signed 64-bit range, finite float, None, bool) are
// the input's own objects. A new reference, or null with the same exceptions.
PyObject* normalized_copy(PyObject* obj, const HiddenMembers* removed = nullptr);

// normalized_copy for values one after another (those of a list of operations): the walk's buffers,
// and the key order of each shape of record it meets, are kept from one value to the next.
class NormalizedCopies {
 public:
  NormalizedCopies();
  ~NormalizedCopies();
  NormalizedCopies(const NormalizedCopies&) = delete;
  NormalizedCopies& operator=(const NormalizedCopies&) = delete;

  // As normalized_copy(obj): a new reference, or null with a Python exception set.
  PyObject* copy(PyObject* obj);

 private:
  struct Walk;
  std::unique_ptr<Walk> walk_;
};

// How the conversion reads `obj` at its top, by the first rule that matches: as a container (a
// list or a dict, subclasses included) in `container`, or as a scalar. Runs the object's hooks
// where its type is no exact built-in. False with the conversion's exception set when no rule
// matches (TypeError) or a hook was interrupted.
bool reads_as_container(PyObject* obj, bool& container);

// A new Python object (dict keys in ascending byte order, unsigned integers from 2**63 up as
// float); a new reference, or null with a Python exception set (MemoryError). Runs no Python code
// of its own.
PyObject* value_to_python(const JsonValue& value);

// Converts JsonValues into new Python objects as value_to_python does, one after another, with one
// str for each distinct member key among all of them: documents repeat their keys record after
// record. Every key it meets must outlive it.
class ToPython {
 public:
  ToPython();
  ~ToPython();
  ToPython(const ToPython&) = delete;
  ToPython& operator=(const ToPython&) = delete;

  // A new reference, or null with a Python exception set.
  PyObject* convert(const JsonValue& value);
  // The same, but an object gets the member "_" holding `serial` in place of any "_" it has (the
  // value a Set at a serial key puts into an array); any other kind of value is converted unchanged.
  PyObject* convert_stamped(const JsonValue& value, std::string_view serial);
  // The str of `key`, shared by every use within this converter: borrowed, or null with a Python
  // exception set.
  PyObject* key(std::string_view key);

 private:
  struct Frame {
    const JsonValue* source;
    std::size_t next;
    PyRef result;
    PyObject* key;                  // the member whose value is being made; borrowed from the key strs
    const std::string_view* stamp;  // the root object's serial, until it is stored
  };
  struct KeyTexts {
    const std::vector<std::string_view>* texts;
    std::string_view operator()(std::size_t i) const noexcept { return (*texts)[i]; }
  };

  PyObject* run(const JsonValue& root, const std::string_view* stamp);
  bool open(const JsonValue& source, const std::string_view* stamp);
  bool stamp_serial(Frame& frame);

  std::vector<Frame> frames_;
  std::vector<std::string_view> key_texts_;
  std::vector<PyRef> key_strs_;  // null where making the str failed
  KeyTable key_table_;
};

// A new dict with room for `members` members, so that filling it never resizes it (where the
// interpreter's headers offer presizing); a new reference, or null with a Python exception set.
PyObject* new_dict(Py_ssize_t members);

// A new str of the UTF-8 bytes `text`; a new reference, or null with a Python exception set.
PyObject* new_str(std::string_view text);

// The UTF-8 bytes of a str (or subclass) in `out`, alive as long as the str: an ASCII str is read
// where it stands, any other is encoded once and cached in the str. False with the interpreter's
// encoding error set for a str that does not encode (a lone surrogate).
bool utf8_view(PyObject* str, std::string_view& out);

// The same, telling a str that does not encode (its error cleared: NotEncodable) from a failure that
// must end the call (MemoryError, left set: Failed).
enum class Text { Read, NotEncodable, Failed };
Text read_text(PyObject* str, std::string_view& out);

// A dict member on its way into a new dict: its key's UTF-8 text (alive as long as `key`), the key
// and the value.
struct DictMember {
  std::string_view text;
  PyRef key;
  PyRef value;
};

// A new dict, sized once, of the members in [first, last) in ascending byte order of their keys; of
// two members with one text, the later stays. A key that is no exact str gives way to a plain str
// of its text. Sorts the members in place. A new reference, or null with a Python exception set.
PyObject* dict_in_key_order(DictMember* first, DictMember* last);

// python_to_value for a value that `depth` containers already enclose: they count against
// kMaxInputDepth, as they would had the conversion begun at the root.
// `ran_code`, when given, tells whether code of the data may have run: a hook of an object of no
// exact built-in type (reading exact types runs none, and makes no object the collector counts).
bool python_to_value_at(PyObject* obj, int depth, JsonValue& out, bool* ran_code = nullptr);

// How the conversion reads an object of an exact scalar type (None, bool, int, float, str): the rules
// stated once, for the conversion and for the walks that read scalars where they stand.
struct ExactScalar {
  JsonValue::Kind kind = JsonValue::Kind::Null;
  JsonNumber number = JsonNumber::from_unsigned(0);
  std::string_view text;  // a str's UTF-8 bytes, alive as long as the str
  bool truth = false;
  // It converts to another value than itself: an int beyond 64 bits to the nearest double, NaN and
  // the infinities to the integer 0.
  bool changed = false;

  // The value it converts to.
  JsonValue value() const {
    switch (kind) {
      case JsonValue::Kind::String: return JsonValue(text);
      case JsonValue::Kind::Number: return JsonValue(number);
      case JsonValue::Kind::Boolean: return JsonValue(truth);
      default: return JsonValue();
    }
  }
};
enum class ScalarRead {
  Read,
  Other,    // not of an exact scalar type: the conversion's other rules take it
  Refused,  // the conversion refuses it (a str that does not encode, an int beyond the doubles); nothing raised
  Failed,   // an exception that must end the call is set (MemoryError)
};
inline bool is_exact_scalar(PyObject* obj) noexcept {
  PyTypeObject* type = Py_TYPE(obj);
  return type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type || type == &PyBool_Type || obj == Py_None;
}
// Reads `obj` when it is of an exact scalar type (is_exact_scalar), each type checked once. Runs no
// Python code. Inline: the walks that
// check a whole document call it for every scalar.
inline ScalarRead read_exact_scalar(PyObject* obj, ExactScalar& out) {
  PyTypeObject* type = Py_TYPE(obj);
  if (type == &PyUnicode_Type) {
    out.kind = JsonValue::Kind::String;
    std::string_view text;  // read apart, so that `out` need not live in memory where unused
    switch (read_text(obj, text)) {
      case Text::Read: out.text = text; return ScalarRead::Read;
      case Text::NotEncodable: return ScalarRead::Refused;
      case Text::Failed: break;
    }
    return ScalarRead::Failed;
  }
  if (type == &PyLong_Type) {
    out.kind = JsonValue::Kind::Number;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow == 0) {
      out.number = JsonNumber::from_signed(v);
      return ScalarRead::Read;
    }
    // Beyond 64 bits: the nearest double; beyond the doubles, nothing converts it.
    const double d = PyLong_AsDouble(obj);
    if (d == -1.0 && PyErr_Occurred()) {
      if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return ScalarRead::Failed;
      PyErr_Clear();
      return ScalarRead::Refused;
    }
    out.number = JsonNumber::from_double(d);
    out.changed = true;
    return ScalarRead::Read;
  }
  if (type == &PyFloat_Type) {
    out.kind = JsonValue::Kind::Number;
    const double d = PyFloat_AS_DOUBLE(obj);
    out.changed = !std::isfinite(d);  // NaN and the infinities have no place in a document: 0
    out.number = out.changed ? JsonNumber::from_unsigned(0) : JsonNumber::from_double(d);
    return ScalarRead::Read;
  }
  if (type == &PyBool_Type) {
    out.kind = JsonValue::Kind::Boolean;
    out.truth = obj == Py_True;
    return ScalarRead::Read;
  }
  if (obj != Py_None) return ScalarRead::Other;
  out.kind = JsonValue::Kind::Null;
  return ScalarRead::Read;
}

// Objects made once by module initialisation and kept for the process; borrowed references.
// The str "_", the name of the member that carries an element's serial.
PyObject* serial_member() noexcept;
// Makes them; false with a Python exception set.
bool make_shared_objects();

}  // namespace quillfen::py
