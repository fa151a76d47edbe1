#include "lib/python_support.hpp"

#include <string_view>

#include "engine/internal_failure.hpp"
#include "lib/python_compat.hpp"

namespace velmora {

PyRef checked(PyObject* new_reference) {
  if (new_reference == nullptr) {
    throw PythonErrorSet{};
  }
  return PyRef::steal(new_reference);
}

PyRef created(PyObject* new_reference) {
  if (new_reference == nullptr) {
    if (PyErr_Occurred() != nullptr) {
      PyErr_Print();
    }
    throw InternalFailure("Python API call failed");
  }
  return PyRef::steal(new_reference);
}

void check_status(int status) {
  if (status < 0) {
    throw PythonErrorSet{};
  }
}

void set_conversion_error(PyObject* object, const char* target) {
  PyRef type_name = PyRef::steal(PyType_GetQualName(Py_TYPE(object)));
  if (!type_name || !PyUnicode_Check(type_name.get())) {
    PyErr_Clear();
    type_name = created(PyUnicode_FromString("<failed to extract type name>"));
  }
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", type_name.get(), target);
}

void raise_conversion_error(PyObject* object, const char* target) {
  set_conversion_error(object, target);
  throw PythonErrorSet{};
}

void raise_with_cause(PyRef exception, PyRef cause) {
  if (cause) {
    PyException_SetContext(exception.get(), Py_NewRef(cause.get()));
    PyException_SetCause(exception.get(), cause.release());
  }
  PyErr_SetRaisedException(exception.release());
}

std::string_view utf8_view(PyObject* text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) {
    throw PythonErrorSet{};
  }
  return {data, static_cast<std::size_t>(size)};
}

}  // namespace velmora
