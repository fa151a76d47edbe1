#include "lib/scipy_blas.hpp"

#include <string>
#include <string_view>
#include <vector>

#include "lib/python_compat.hpp"
#include "lib/python_support.hpp"

namespace velmora {
namespace {

constexpr const char* cython_blas_module = "scipy.linalg.cython_blas";

// A Cython capsule is named by the C signature of the function it holds, with
// the module's typedef for double spelled out. The routines must take 32-bit
// ints and doubles by address as the core's Fortran-style declarations do; a
// SciPy built with 64-bit BLAS integers would be called wrongly otherwise.
std::string_view short_type(std::string_view type) {
  while (!type.empty() && type.front() == ' ') {
    type.remove_prefix(1);
  }
  while (!type.empty() && type.back() == ' ') {
    type.remove_suffix(1);
  }
  const bool pointer = !type.empty() && type.back() == '*';
  if (pointer) {
    type.remove_suffix(1);
    while (!type.empty() && type.back() == ' ') {
      type.remove_suffix(1);
    }
  }
  const bool is_double =
      type == "double" || (type.starts_with("__pyx_t_") && type.ends_with("cython_blas_d"));
  if (type == "void" && !pointer) {
    return "v";
  }
  if (is_double) {
    return pointer ? "d*" : "d";
  }
  if (type == "int" && pointer) {
    return "i*";
  }
  if (type == "char" && pointer) {
    return "c*";
  }
  return "?";
}

// "void (char *, int *)" as "v(c*,i*)".
std::string signature_shape(std::string_view signature) {
  const std::size_t open = signature.find('(');
  const std::size_t close = signature.rfind(')');
  if (open == std::string_view::npos || close == std::string_view::npos || close < open) {
    return "?";
  }
  std::string shape(short_type(signature.substr(0, open)));
  shape += '(';
  std::string_view parameters = signature.substr(open + 1, close - open - 1);
  for (bool first = true; !parameters.empty(); first = false) {
    const std::size_t comma = parameters.find(',');
    if (!first) {
      shape += ',';
    }
    shape += short_type(parameters.substr(0, comma));
    parameters =
        comma == std::string_view::npos ? std::string_view{} : parameters.substr(comma + 1);
  }
  shape += ')';
  return shape;
}

[[noreturn]] void raise_missing(const std::string& what) {
  PyErr_Format(PyExc_ImportError, "velmora needs %s from SciPy for its BLAS routines",
               what.c_str());
  throw PythonErrorSet{};
}

void* routine_pointer(PyObject* exported, const char* name, std::string_view expected_shape) {
  const std::string what = std::string(cython_blas_module) + "." + name;
  PyObject* capsule = PyDict_GetItemString(exported, name);  // borrowed
  if (capsule == nullptr || PyCapsule_CheckExact(capsule) == 0) {
    raise_missing(what);
  }
  const char* signature = PyCapsule_GetName(capsule);
  if (signature == nullptr) {
    PyErr_Clear();
    raise_missing(what);
  }
  if (signature_shape(signature) != expected_shape) {
    PyErr_Format(PyExc_ImportError,
                 "velmora needs %s with 32-bit integers, but SciPy's has the signature '%s'",
                 what.c_str(), signature);
    throw PythonErrorSet{};
  }
  void* pointer = PyCapsule_GetPointer(capsule, signature);
  if (pointer == nullptr) {
    PyErr_Clear();
    raise_missing(what);
  }
  return pointer;
}

blas::Routines look_up_routines() {
  PyRef module = PyRef::steal(PyImport_ImportModule(cython_blas_module));
  if (!module) {
    // An interrupt or exit request during the import ends the call as raised;
    // any other failure becomes an ImportError naming the missing module,
    // with the original as its cause.
    if (PyErr_ExceptionMatches(PyExc_Exception) == 0) {
      throw PythonErrorSet{};
    }
    PyRef cause = PyRef::steal(PyErr_GetRaisedException());
    PyErr_Format(PyExc_ImportError, "velmora needs SciPy for its BLAS routines: cannot import %s",
                 cython_blas_module);
    raise_with_cause(PyRef::steal(PyErr_GetRaisedException()), std::move(cause));
    throw PythonErrorSet{};
  }
  PyRef exported = PyRef::steal(PyObject_GetAttrString(module.get(), "__pyx_capi__"));
  if (!exported && PyErr_ExceptionMatches(PyExc_Exception) == 0) {
    throw PythonErrorSet{};
  }
  if (!exported || !PyDict_Check(exported.get())) {
    PyErr_Clear();
    raise_missing(std::string(cython_blas_module) + ".__pyx_capi__");
  }
  blas::Routines routines;
  routines.ddot =
      reinterpret_cast<blas::Ddot*>(routine_pointer(exported.get(), "ddot", "d(i*,d*,i*,d*,i*)"));
  routines.dgemm = reinterpret_cast<blas::Dgemm*>(
      routine_pointer(exported.get(), "dgemm", "v(c*,c*,i*,i*,i*,d*,d*,i*,d*,i*,d*,d*,i*)"));
  // CPython never unloads an extension module's library, so the pointers stay
  // valid after the module object is gone.
  return routines;
}

}  // namespace

const blas::Routines& scipy_blas_routines() {
  // Only touched with the interpreter lock held. A failed look-up is not
  // kept: a later call tries again, for instance after SciPy was installed.
  static blas::Routines routines;
  static bool found = false;
  if (!found) {
    routines = look_up_routines();
    found = true;
  }
  return routines;
}

}  // namespace velmora
