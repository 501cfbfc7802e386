#include "kestrel/bindings/exceptions.h"

#include <nanobind/nanobind.h>

#include <exception>
#include <new>
#include <stdexcept>

namespace nb = nanobind;

namespace kestrel {
namespace {

void translate(const std::exception_ptr& error, void*) {
  try {
    std::rethrow_exception(error);
  } catch (const nb::python_error&) {
    throw;  // already a Python exception: nanobind's own translator restores it
  } catch (const nb::builtin_exception&) {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::invalid_argument& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const std::domain_error& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const std::length_error& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const std::out_of_range& e) {
    PyErr_SetString(PyExc_IndexError, e.what());
  } catch (const std::range_error& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const std::overflow_error& e) {
    PyErr_SetString(PyExc_OverflowError, e.what());
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  }
}

}  // namespace

void registerExceptionTranslation() { nb::register_exception_translator(&translate); }

}  // namespace kestrel
