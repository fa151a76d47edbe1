#pragma once
// Owning Python references and the two ways a step in src/lib fails: with a
// Python exception already set (PythonErrorSet), or with a broken invariant
// (InternalFailure, raised to the caller as PanicException).

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <string_view>
#include <utility>

namespace velmora {

// A Python exception is pending; the entry point returns NULL with it.
struct PythonErrorSet final : std::exception {
  [[nodiscard]] const char* what() const noexcept override { return "Python exception set"; }
};

// Move-only owner of one strong reference, released on every path.
class PyRef {
 public:
  PyRef() noexcept = default;
  [[nodiscard]] static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
  [[nodiscard]] static PyRef borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return PyRef(object);
  }
  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(std::exchange(object_, std::exchange(other.object_, nullptr)));
    }
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(object_); }

  [[nodiscard]] PyObject* get() const noexcept { return object_; }
  // Hands the reference to the caller, at the one successful return.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  explicit PyRef(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

// Lets go of the interpreter's lock for its lifetime, so that other threads
// run Python meanwhile. Only plain views may be touched inside: no Python
// call, no reference created or released.
class InterpreterLockReleased {
 public:
  InterpreterLockReleased() noexcept : state_(PyEval_SaveThread()) {}
  InterpreterLockReleased(const InterpreterLockReleased&) = delete;
  InterpreterLockReleased& operator=(const InterpreterLockReleased&) = delete;
  ~InterpreterLockReleased() { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;
};

// The result of a call that may raise: owned, or PythonErrorSet thrown.
[[nodiscard]] PyRef checked(PyObject* new_reference);

// The result of a call that only fails when the interpreter cannot create an
// object (memory exhausted): owned, or the pending error is printed and the
// call ends as an internal failure.
[[nodiscard]] PyRef created(PyObject* new_reference);

// Throws PythonErrorSet when status is negative (a C-API failure code).
void check_status(int status);

// Sets TypeError "'TYPE' object cannot be converted to 'TARGET'"; the raise_
// form also throws PythonErrorSet.
void set_conversion_error(PyObject* object, const char* target);
[[noreturn]] void raise_conversion_error(PyObject* object, const char* target);

// Sets `exception` as the pending one, with `cause` (if any) as both its
// __cause__ and __context__, as `raise exception from cause` would.
void raise_with_cause(PyRef exception, PyRef cause);

// UTF-8 text of a str (subclasses included); throws PythonErrorSet when it
// cannot be encoded.
[[nodiscard]] std::string_view utf8_view(PyObject* text);

}  // namespace velmora
