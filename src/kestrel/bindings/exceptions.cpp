#include "kestrel/bindings/exceptions.h"

#include <c10/util/Exception.h>
#include <cxxabi.h>
#include <nanobind/nanobind.h>

#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>

#include "kestrel/solve/interrupt.h"

namespace nb = nanobind;

namespace kestrel {
namespace {

// Messages may quote bytes from files (a manifest, a package) that are not
// UTF-8; the undecodable bytes are escaped rather than losing the message to
// a UnicodeDecodeError.
void raise(PyObject* type, const char* message) {
  PyObject* text = PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::strlen(message)), "backslashreplace");
  if (text == nullptr) return;  // the decoder's own error (MemoryError) stands
  PyErr_SetObject(type, text);
  Py_DECREF(text);
}

void translate(const std::exception_ptr& error, void*) {
  try {
    std::rethrow_exception(error);
  } catch (const nb::python_error&) {
    throw;  // already a Python exception: nanobind's own translator restores it
  } catch (const nb::builtin_exception&) {
    throw;
  } catch (const abi::__forced_unwind&) {
    throw;  // thread cancellation must keep unwinding
  } catch (const SolveInterrupted&) {
    // The signal handler's exception (KeyboardInterrupt unless the program
    // installed its own) is already set on this thread.
    if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
  } catch (const std::bad_alloc& e) {
    raise(PyExc_MemoryError, e.what());
  } catch (const std::invalid_argument& e) {
    raise(PyExc_ValueError, e.what());
  } catch (const std::domain_error& e) {
    raise(PyExc_ValueError, e.what());
  } catch (const std::length_error& e) {
    raise(PyExc_ValueError, e.what());
  } catch (const std::out_of_range& e) {
    raise(PyExc_IndexError, e.what());
  } catch (const std::range_error& e) {
    raise(PyExc_ValueError, e.what());
  } catch (const std::overflow_error& e) {
    raise(PyExc_OverflowError, e.what());
  } catch (const c10::Error& e) {
    // LibTorch appends a C++ stack trace to what(); Python shows its own.
    raise(PyExc_RuntimeError, e.what_without_backtrace());
  } catch (const std::exception& e) {
    raise(PyExc_RuntimeError, e.what());
  } catch (...) {
    // A plugin may throw anything; the interpreter must still get an error.
    raise(PyExc_RuntimeError, "A C++ exception of an unknown type was thrown during the solve");
  }
}

}  // namespace

void registerExceptionTranslation() { nb::register_exception_translator(&translate); }

}  // namespace kestrel
