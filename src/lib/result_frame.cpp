#include "lib/result_frame.hpp"

#include <span>
#include <string_view>

namespace velmora {
namespace {

PyRef text_object(std::string_view text) {
  return created(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// Each column is a new list of Python floats, as a replaced DataFrame
// constructor (a recorder, an adapter for another frame library) expects.
PyRef float_list(std::span<const double> values) {
  PyRef list = created(PyList_New(static_cast<Py_ssize_t>(values.size())));
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                    created(PyFloat_FromDouble(values[i])).release());
  }
  return list;
}

template <class Text>
PyRef text_list(std::span<const Text> values) {
  PyRef list = created(PyList_New(static_cast<Py_ssize_t>(values.size())));
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), text_object(values[i]).release());
  }
  return list;
}

void insert(PyObject* dict, std::string_view key, PyRef value) {
  const PyRef key_object = text_object(key);
  check_status(PyDict_SetItem(dict, key_object.get(), value.get()));
}

}  // namespace

PyRef build_result_frame(const EffectsTable& table, NumberColumns numbers) {
  const PyRef pandas = checked(PyImport_Import(text_object("pandas").get()));

  const auto number_column = [numbers](std::span<const double> values) {
    return numbers == NumberColumns::FloatLists
               ? float_list(values)
               : float64_array(values, {static_cast<Py_ssize_t>(values.size())});
  };
  const PyRef columns = created(PyDict_New());
  insert(columns.get(), "dy/dx", number_column(table.dydx));
  insert(columns.get(), "Std. Err", number_column(table.std_err));
  insert(columns.get(), "z", number_column(table.z));
  insert(columns.get(), "Pr(>|z|)", number_column(table.p_value));
  insert(columns.get(), "Conf. Int. Low", number_column(table.ci_low));
  insert(columns.get(), "Conf. Int. Hi", number_column(table.ci_high));
  insert(columns.get(), "Significance", text_list<std::string_view>(table.significance));

  const PyRef keywords = created(PyDict_New());
  insert(keywords.get(), "data", PyRef::borrow(columns.get()));
  insert(keywords.get(), "index", text_list<std::string>(table.row_names));

  const PyRef constructor = checked(PyObject_GetAttr(pandas.get(), text_object("DataFrame").get()));
  const PyRef no_arguments = created(PyTuple_New(0));
  return checked(PyObject_Call(constructor.get(), no_arguments.get(), keywords.get()));
}

}  // namespace velmora
