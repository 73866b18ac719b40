// Translation of standard C++ exceptions into the nearest Python built-in exception.
#include "errors.hpp"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <ios>
#include <new>
#include <stdexcept>
#include <typeinfo>

namespace tamarack {

void translate_current_exception() noexcept {
    if (PyErr_Occurred()) return;  // the Python error already set is the one the caller sees
    try {
        throw;
    } catch (const std::bad_alloc& e) {
        PyErr_SetString(PyExc_MemoryError, e.what());
    } catch (const std::bad_cast& e) {
        PyErr_SetString(PyExc_TypeError, e.what());
    } catch (const std::bad_typeid& e) {
        PyErr_SetString(PyExc_TypeError, e.what());
    } catch (const std::domain_error& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::invalid_argument& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::ios_base::failure& e) {
        PyErr_SetString(PyExc_IOError, e.what());
    } catch (const std::out_of_range& e) {
        PyErr_SetString(PyExc_IndexError, e.what());
    } catch (const std::overflow_error& e) {
        PyErr_SetString(PyExc_OverflowError, e.what());
    } catch (const std::range_error& e) {
        PyErr_SetString(PyExc_ArithmeticError, e.what());
    } catch (const std::underflow_error& e) {
        PyErr_SetString(PyExc_ArithmeticError, e.what());
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "Unknown exception");
    }
}

}  // namespace tamarack
