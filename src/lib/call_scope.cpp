#include "lib/call_scope.hpp"

#include <cstdio>
#include <string>

#include "lib/python_compat.hpp"

namespace velmora {
namespace {

constexpr const char* panic_doc =
    "Raised when velmora's native code fails while called from Python. Like SystemExit, it "
    "derives from BaseException rather than Exception, so that it typically propagates all "
    "the way up the stack and ends the interpreter.";

constexpr std::string_view generic_failure_text = "velmora failed without a message";

// Created at the first internal failure and kept, deliberately, for the life
// of the process: releasing it at exit could run after the interpreter is gone.
class ProcessWideType {
 public:
  PyObject* get_or_create() noexcept {
    if (type_ == nullptr) {
      type_ = PyErr_NewExceptionWithDoc("velmora_runtime.PanicException", panic_doc,
                                        PyExc_BaseException, nullptr);
    }
    return type_;
  }

 private:
  PyObject* type_ = nullptr;  // strong reference, never released
};

ProcessWideType panic_type;

void write_diagnostic(std::string_view message, const std::source_location& where) noexcept {
  std::string_view file = where.file_name();
  if (const std::size_t src = file.rfind("src/"); src != std::string_view::npos) {
    file.remove_prefix(src);
  }
  std::fprintf(stderr, "velmora: internal failure at %.*s:%u: %.*s\n",
               static_cast<int>(file.size()), file.data(), static_cast<unsigned>(where.line()),
               static_cast<int>(message.size()), message.data());
  std::fflush(stderr);
}

}  // namespace

void raise_panic(std::string_view message, const std::source_location& where) noexcept {
  if (message.empty()) {
    message = generic_failure_text;
  }
  write_diagnostic(message, where);
  PyRef cause = PyRef::steal(PyErr_GetRaisedException());  // may be empty
  PyObject* type = panic_type.get_or_create();
  if (type == nullptr) {
    return;  // the class could not be made; that error stays pending
  }
  const PyRef text = PyRef::steal(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!text) {
    return;
  }
  PyRef exception = PyRef::steal(PyObject_CallOneArg(type, text.get()));
  if (!exception) {
    return;
  }
  raise_with_cause(std::move(exception), std::move(cause));
}

}  // namespace velmora
