// Hints for walks that read the dicts of a long list one after another. Their cost there is waiting
// on memory, three times per element (the dict, its key table, the values read), so the dicts some
// elements ahead, and the key tables of nearer ones, are asked for early and arrive while the
// current element is read. Hints only: nothing is changed and nothing can fail.
//
// Both are always inlined, and must be: the optimiser removes a call to a function whose only
// effect is a prefetch, as one without effect.
#pragma once

#include <Python.h>

#include <cstddef>

namespace quillfen::py {

// How far ahead a walk asks for elements, and for their key tables: the elements read in between
// must take about as long as memory takes to answer.
inline constexpr std::size_t kReadAheadElements = 16, kReadAheadTables = 8;

// Asks for the element at `far` and for the key table of the element at `near`, which an earlier
// call asked for as its `far`. Positions outside the list are passed over.
[[gnu::always_inline]] inline void read_ahead(PyObject* list, std::size_t near, std::size_t far) noexcept {
  const auto length = static_cast<std::size_t>(PyList_GET_SIZE(list));
  if (far < length) __builtin_prefetch(PyList_GET_ITEM(list, static_cast<Py_ssize_t>(far)));
  if (near >= length) return;
  PyObject* ahead = PyList_GET_ITEM(list, static_cast<Py_ssize_t>(near));
  if (Py_TYPE(ahead) != &PyDict_Type) return;
  // The key table's head and first entries: where a small record's keys and values are found.
  const char* table = reinterpret_cast<const char*>(reinterpret_cast<PyDictObject*>(ahead)->ma_keys);
  for (int line = 0; line < 4; ++line) __builtin_prefetch(table + 64 * line);
}

// For a walk that reads every element of `list` in order, before it reads the one at `i`.
[[gnu::always_inline]] inline void read_ahead_in_order(PyObject* list, std::size_t i) noexcept {
  read_ahead(list, i + kReadAheadTables, i + kReadAheadElements);
}

}  // namespace quillfen::py
