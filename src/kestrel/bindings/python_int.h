#pragma once

// Integer parameters of the solve functions. They take Python integers and,
// by implicit conversion, whatever int() converts (numeric strings included),
// but never a float: 1.0 for a node count is a mistake, not a request. Values
// outside the target range are conversion failures (TypeError).

#include <nanobind/nanobind.h>

#include <cstdint>
#include <limits>

namespace kestrel {

template <typename T>
struct PythonInt {
  T value = 0;
};

}  // namespace kestrel

namespace nanobind::detail {

template <typename T>
struct type_caster<kestrel::PythonInt<T>> {
  NB_TYPE_CASTER(kestrel::PythonInt<T>, const_name("int"))

  bool from_python(handle src, uint8_t flags, cleanup_list*) noexcept {
    PyObject* object = src.ptr();
    if (PyFloat_Check(object)) return false;
    PyObject* number = nullptr;
    if (PyLong_Check(object)) {
      number = object;
      Py_INCREF(number);
    } else if (flags & static_cast<uint8_t>(cast_flags::convert)) {
      number = PyNumber_Long(object);
      if (number == nullptr) {
        PyErr_Clear();
        return false;
      }
    } else {
      return false;
    }
    int overflow = 0;
    const long long converted = PyLong_AsLongLongAndOverflow(number, &overflow);
    Py_DECREF(number);
    if (overflow != 0 || (converted == -1 && PyErr_Occurred())) {
      PyErr_Clear();
      return false;
    }
    if (converted < static_cast<long long>(std::numeric_limits<T>::min()) ||
        converted > static_cast<long long>(std::numeric_limits<T>::max())) {
      return false;
    }
    value.value = static_cast<T>(converted);
    return true;
  }

  static handle from_cpp(const kestrel::PythonInt<T>& source, rv_policy, cleanup_list*) noexcept {
    return PyLong_FromLongLong(static_cast<long long>(source.value));
  }
};

}  // namespace nanobind::detail
