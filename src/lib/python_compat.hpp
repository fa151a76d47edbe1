#pragma once
// The few C-API calls velmora uses that CPython 3.10 and 3.11 lack, written
// with the older calls under the newer names, so the rest of src/lib reads
// the same on every supported interpreter and behaves the same on each.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX < 0x030B0000
// 3.11: the qualified name of a type. __qualname__ gives the same text for
// static types (tp_name after its last dot) and heap types (ht_qualname).
inline PyObject* PyType_GetQualName(PyTypeObject* type) {
  return PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__");
}
#endif

#if PY_VERSION_HEX < 0x030C0000
// 3.12: the pending exception as one object (new reference, or NULL when none
// is pending), taken off the thread's state. Older interpreters may hold it
// unnormalised, as a type and a bare value; it is normalised here, and its
// traceback attached to it, so callers see the object 3.12 would give them.
inline PyObject* PyErr_GetRaisedException() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) {
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    return nullptr;
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) {
    // Only fails for a value that is not an exception, which normalising rules out.
    if (PyException_SetTraceback(value, traceback) < 0) {
      PyErr_Clear();
    }
  }
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return value;
}

// 3.12: makes exception (a reference that is stolen, or NULL to clear) the
// pending exception, with its own traceback.
inline void PyErr_SetRaisedException(PyObject* exception) {
  if (exception == nullptr) {
    PyErr_Restore(nullptr, nullptr, nullptr);
    return;
  }
  PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception)));
  PyErr_Restore(type, exception, PyException_GetTraceback(exception));
}
#endif
