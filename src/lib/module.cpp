// The module velmora: its single-phase initialisation and the mfx entry
// point, which drives one call from the results object to the DataFrame.

#include <atomic>

#include "engine/effect_accumulation.hpp"
#include "lib/arguments.hpp"
#include "lib/block_entry_points.hpp"
#include "lib/call_scope.hpp"
#include "lib/model_reader.hpp"
#include "lib/result_frame.hpp"
#include "lib/scipy_blas.hpp"
#include "report/delta_method.hpp"

#ifndef VELMORA_VERSION
#error "VELMORA_VERSION must be defined by the build (the version in pyproject.toml)"
#endif

namespace velmora {
namespace {

// The first three lines are the text signature the interpreter strips off.
constexpr char mfx_doc[] =
    "mfx(model, chunk_size=..., se_method=...)\n"
    "--\n"
    "\n"
    "Computes the average marginal effects (AMEs) for Logit/Probit models.\n"
    "\n"
    "This function mimics the style of the original Probit code, but with a twist:  \n"
    "you can choose between two methods for calculating the standard errors (SEs):\n"
    "\n"
    "- \"orvo\": Uses the original gradient (Jacobian) calculation based on per-observation "
    "effects.\n"
    "- \"sm\": Uses a statsmodels-style gradient for continuous variables.\n"
    "\n"
    "The function accepts a model (Logit or Probit), an optional chunk size (to process data in "
    "parts),\n"
    "and an optional `se_method` string which defaults to \"orvo\".";

// Polled by the pass between blocks of rows: runs the interpreter's signal
// handlers, so a Ctrl-C raises KeyboardInterrupt there and ends the call.
bool python_signal_raised(void* /*context*/) { return PyErr_CheckSignals() != 0; }

PyRef run_mfx(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  const CallSettings settings = bind_mfx_arguments(args, nargsf, kwnames);
  const ReadModel model = read_model(settings.model);
  const ModelInputs inputs = model_inputs(model);
  require_addressable_square(inputs.X.cols);
  const blas::Routines& blas = scipy_blas_routines();

  const ClassifiedEffects effects = [&] {
    try {
      return classify_and_accumulate(inputs.kind, inputs.beta, inputs.X, inputs.names,
                                     settings.chunk_size, settings.method, blas,
                                     {python_signal_raised, nullptr});
    } catch (const Interrupted&) {
      throw PythonErrorSet{};  // the handler's exception is pending
    }
  }();
  const SelectedTotals selected = selected_totals(effects.totals, settings.method);
  const EffectsTable table =
      build_effects_table(selected.effects, selected.jacobian, static_cast<double>(inputs.X.rows),
                          inputs.V, effects.intercept_indices, inputs.names, blas);
  return build_result_frame(table);
}

PyObject* mfx(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return call_scope([&] { return run_mfx(args, nargsf, kwnames); });
}

PyMethodDef mfx_definition = {
    "mfx",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(mfx)),
    METH_FASTCALL | METH_KEYWORDS,
    mfx_doc,
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "velmora",
    "",
    0,  // no per-module state, so a re-import calls the initialiser again
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Process-wide and never reset: the module holds no state a second instance
// could share, so later initialisations are refused.
std::atomic<bool> initialised{false};

void add_mfx(PyObject* module) {
  const PyRef module_name = checked(PyModule_GetNameObject(module));
  const PyRef function = checked(PyCFunction_NewEx(&mfx_definition, module, module_name.get()));
  const PyRef name = checked(PyObject_GetAttrString(function.get(), "__name__"));

  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (PyErr_ExceptionMatches(PyExc_AttributeError) == 0) {
      throw PythonErrorSet{};
    }
    PyErr_Clear();
    all = created(PyList_New(0));
    check_status(PyObject_SetAttrString(module, "__all__", all.get()));
  }
  if (!PyList_Check(all.get())) {
    raise_conversion_error(all.get(), "PyList");
  }
  check_status(PyList_Append(all.get(), name.get()));
  check_status(PyObject_SetAttr(module, name.get(), function.get()));
}

PyRef initialise_module() {
  PyObject* created_module = PyModule_Create2(&module_definition, 1013);
  if (created_module == nullptr) {
    if (PyErr_Occurred() == nullptr) {
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    throw PythonErrorSet{};
  }
  PyRef module = PyRef::steal(created_module);
  if (initialised.exchange(true)) {
    PyErr_SetString(PyExc_ImportError,
                    "velmora may be initialised only once per interpreter process");
    throw PythonErrorSet{};
  }
  add_mfx(module.get());
  add_block_entry_points(module.get());
  check_status(PyModule_AddStringConstant(module.get(), "__version__", VELMORA_VERSION));
  return module;
}

}  // namespace
}  // namespace velmora

PyMODINIT_FUNC PyInit_velmora() {
  return velmora::call_scope([] { return velmora::initialise_module(); });
}
