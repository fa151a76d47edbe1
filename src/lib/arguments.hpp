#pragma once
// Binding and converting the arguments of mfx(model, chunk_size=None,
// se_method=None) from the fast-call array, with Python's own messages.

#include <cstdint>
#include <optional>

#include "engine/effect_accumulation.hpp"
#include "lib/python_support.hpp"

namespace velmora {

struct CallSettings {
  PyObject* model = nullptr;                // borrowed from the call's arguments
  std::optional<std::uint64_t> chunk_size;  // absent: one chunk of all rows
  SeMethod method = SeMethod::Orvo;
};

// Throws PythonErrorSet with TypeError, OverflowError, UnicodeEncodeError or
// ValueError set; the model is not looked at.
[[nodiscard]] CallSettings bind_mfx_arguments(PyObject* const* args, Py_ssize_t nargsf,
                                              PyObject* kwnames);

// The se_method argument (null or None: the default, "orvo") with the
// binding's messages, for every entry point that takes one.
[[nodiscard]] SeMethod convert_se_method(PyObject* value);

}  // namespace velmora
