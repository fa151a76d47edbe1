#pragma once
// Every entry from the interpreter runs its body through call_scope: the
// body's references are released by their owners as it unwinds, and no C++
// exception crosses into the interpreter. A broken invariant becomes a
// raised PanicException, after a diagnostic on file descriptor 2.

#include <new>
#include <source_location>
#include <string_view>

#include "engine/internal_failure.hpp"
#include "lib/python_support.hpp"

namespace velmora {

// Sets PanicException(message) as the pending exception, chaining any
// exception that was pending as its cause.
void raise_panic(std::string_view message, const std::source_location& where) noexcept;

template <class Body>
PyObject* call_scope(Body&& body) noexcept {
  try {
    PyRef result = body();
    return result.release();
  } catch (const PythonErrorSet&) {
    if (PyErr_Occurred() == nullptr) {
      raise_panic("a failure was reported without a Python exception",
                  std::source_location::current());
    }
  } catch (const InternalFailure& failure) {
    raise_panic(failure.what(), failure.where());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& failure) {
    raise_panic(failure.what(), std::source_location::current());
  } catch (...) {
    raise_panic("", std::source_location::current());
  }
  return nullptr;
}

}  // namespace velmora
