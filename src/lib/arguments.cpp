#include "lib/arguments.hpp"

#include <array>
#include <string_view>

#include "lib/python_compat.hpp"

namespace velmora {
namespace {

constexpr std::array<std::string_view, 3> parameter_names = {"model", "chunk_size", "se_method"};
constexpr std::size_t model_slot = 0;
constexpr std::size_t chunk_size_slot = 1;
constexpr std::size_t se_method_slot = 2;

// A conversion that failed with exactly TypeError is reported with the
// parameter's name in front, keeping the original's cause; any other
// exception (OverflowError for a negative chunk_size, say) passes unchanged.
[[noreturn]] void raise_argument_error(const char* parameter) {
  PyRef raised = PyRef::steal(PyErr_GetRaisedException());
  if (raised && Py_IS_TYPE(raised.get(), reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
    const PyRef text = checked(PyObject_Str(raised.get()));
    const PyRef message = created(PyUnicode_FromFormat("argument '%s': %U", parameter, text.get()));
    PyRef replacement = checked(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    PyException_SetCause(replacement.get(), PyException_GetCause(raised.get()));
    raised = std::move(replacement);
  }
  PyErr_SetRaisedException(raised.release());
  throw PythonErrorSet{};
}

std::optional<std::uint64_t> convert_chunk_size(PyObject* value) {
  if (value == nullptr || value == Py_None) {
    return std::nullopt;
  }
  const PyRef index = PyRef::steal(PyNumber_Index(value));
  if (!index) {
    raise_argument_error("chunk_size");
  }
  const unsigned long long rows = PyLong_AsUnsignedLongLong(index.get());
  if (rows == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
    raise_argument_error("chunk_size");
  }
  // Chunks of no rows would never get through the data.
  if (rows == 0) {
    PyErr_SetString(PyExc_ValueError, "chunk_size must be at least 1");
    throw PythonErrorSet{};
  }
  return static_cast<std::uint64_t>(rows);
}

}  // namespace

SeMethod convert_se_method(PyObject* value) {
  if (value == nullptr || value == Py_None) {
    return SeMethod::Orvo;
  }
  if (!PyUnicode_Check(value)) {
    set_conversion_error(value, "PyString");
    raise_argument_error("se_method");
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(value, &size);
  if (text == nullptr) {
    raise_argument_error("se_method");
  }
  // Any other text would leave every continuous regressor with a silent zero.
  const std::optional<SeMethod> method =
      parse_se_method(std::string_view(text, static_cast<std::size_t>(size)));
  if (!method) {
    PyErr_Format(PyExc_ValueError, "se_method must be 'orvo' or 'sm', got '%U'", value);
    throw PythonErrorSet{};
  }
  return *method;
}

CallSettings bind_mfx_arguments(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  const Py_ssize_t positional = PyVectorcall_NARGS(static_cast<std::size_t>(nargsf));
  std::array<PyObject*, parameter_names.size()> slots{};
  for (Py_ssize_t i = 0; i < positional && i < 3; ++i) {
    slots[static_cast<std::size_t>(i)] = args[i];
  }
  if (positional > 3) {
    PyErr_Format(PyExc_TypeError, "mfx() takes from 1 to 3 positional arguments but %zd were given",
                 positional);
    throw PythonErrorSet{};
  }
  const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t i = 0; i < keywords; ++i) {
    PyObject* name = PyTuple_GET_ITEM(kwnames, i);
    const std::string_view text = utf8_view(name);
    std::size_t slot = 0;
    while (slot < parameter_names.size() && parameter_names[slot] != text) {
      ++slot;
    }
    if (slot == parameter_names.size()) {
      PyErr_Format(PyExc_TypeError, "mfx() got an unexpected keyword argument '%U'", name);
      throw PythonErrorSet{};
    }
    if (slots[slot] != nullptr) {
      PyErr_Format(PyExc_TypeError, "mfx() got multiple values for argument '%U'", name);
      throw PythonErrorSet{};
    }
    slots[slot] = args[positional + i];
  }
  if (positional == 0 && slots[model_slot] == nullptr) {
    PyErr_SetString(PyExc_TypeError, "mfx() missing 1 required positional argument: 'model'");
    throw PythonErrorSet{};
  }

  CallSettings settings;
  settings.model = slots[model_slot];
  settings.chunk_size = convert_chunk_size(slots[chunk_size_slot]);
  settings.method = convert_se_method(slots[se_method_slot]);
  return settings;
}

}  // namespace velmora
