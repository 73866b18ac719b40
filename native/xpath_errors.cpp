// Translation of the exceptions that XPath compilation and evaluation throw. pugixml reports a bad
// expression with pugi::xpath_exception, which callers must see as a ValueError carrying pugixml's
// own description; the rest follows the standard translation.
#include "errors.hpp"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <pugixml.hpp>

#include <cstring>
#include <exception>
#include <stdexcept>

namespace tamarack {
namespace {

PyObject* ascii_message(const std::exception& e) noexcept {
    const char* what = e.what();
    return PyUnicode_DecodeASCII(what, static_cast<Py_ssize_t>(std::strlen(what)), nullptr);
}

// Calls the exception class with the message and raises the instance.
void raise_with_message(PyObject* type, PyObject* message) noexcept {
    PyObject* exc = PyObject_CallOneArg(type, message);
    Py_DECREF(message);
    if (!exc) return;
    PyErr_SetObject(type, exc);
    Py_DECREF(exc);
}

void raise_from_what(PyObject* type, const std::exception& e) noexcept {
    if (PyObject* message = ascii_message(e)) raise_with_message(type, message);
}

void handle_xpath_exception(const pugi::xpath_exception& e) noexcept { raise_from_what(PyExc_ValueError, e); }

void handle_runtime_error(const std::runtime_error& e) noexcept { raise_from_what(PyExc_RuntimeError, e); }

void handle_anything(const std::exception& e) noexcept {
    PyObject* message = ascii_message(e);
    if (!message) {
        PyErr_Clear();
        message = PyUnicode_FromString("Unknown error");
        if (!message) return;
    }
    raise_with_message(PyExc_Exception, message);
}

// Rethrows `current` and, when it is an E, hands it to `handler`. True when a Python exception is
// set afterwards, which ends the translation.
template <class E, void (*handler)(const E&) noexcept>
bool translate_branch(const std::exception_ptr& current) noexcept {
    try {
        std::rethrow_exception(current);
    } catch (const E& e) {
        handler(e);
        return PyErr_Occurred() != nullptr;
    } catch (...) {
        return false;
    }
}

}  // namespace

void custom_exception_handler() noexcept {
    std::exception_ptr current = std::current_exception();
    if (!current) {
        PyErr_SetString(PyExc_SystemError, "custom_exception_handler called without an active exception");
        return;
    }
    if (translate_branch<pugi::xpath_exception, handle_xpath_exception>(current)) return;
    if (translate_branch<std::runtime_error, handle_runtime_error>(current)) return;
    if (translate_branch<std::exception, handle_anything>(current)) return;
    try {
        std::rethrow_exception(current);
    } catch (...) {
        translate_current_exception();
    }
}

}  // namespace tamarack
