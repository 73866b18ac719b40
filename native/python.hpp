// Small helpers over the CPython API shared by every source of the module.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace tamarack {

// An owned reference. The pointer is reached through get(); steal() takes over a new reference,
// borrow() adds one. Null means "no object" (typically: an exception is set).
class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// Holds the interpreter lock for a scope; nests when the lock is already held.
class GilGuard {
public:
    GilGuard() noexcept : state_(PyGILState_Ensure()) {}
    GilGuard(const GilGuard&) = delete;
    GilGuard& operator=(const GilGuard&) = delete;
    ~GilGuard() { PyGILState_Release(state_); }

private:
    PyGILState_STATE state_;
};

// Lets other threads run for a scope; only native memory may be touched inside it.
class GilRelease {
public:
    GilRelease() noexcept : state_(PyEval_SaveThread()) {}
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;
    ~GilRelease() { PyEval_RestoreThread(state_); }

private:
    PyThreadState* state_;
};

// Replaces a held reference by a new one (taken over) and releases the old one afterwards, so a
// destructor running during the release never sees a dangling field.
inline void replace_ref(PyObject*& field, PyObject* new_ref) noexcept {
    PyObject* old = field;
    field = new_ref;
    Py_XDECREF(old);
}

// Adds a traceback entry bearing the qualified name of the failing function.
inline void add_traceback(const char* qualified_name) noexcept {
    _PyTraceback_Add(qualified_name, "tamarack/pugixml", 0);
}

// Adds `note` to the pending exception. Without memory for the note, the exception stays as it is.
inline void add_note_to_pending(const char* note) noexcept {
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    if (!exc) return;
    Ref done = Ref::steal(PyObject_CallMethod(exc.get(), "add_note", "s", note));
    if (!done) PyErr_Clear();
    PyErr_SetRaisedException(exc.release());
}

// Raises the TypeError "Argument '...' has incorrect type (expected ..., got ...)". For annotated
// parameters (`note_subclass`), an instance of a subclass of `expected` also gets a note saying why
// it was refused. Returns null.
inline PyObject* argument_type_error(const char* name, PyTypeObject* expected, PyObject* obj,
                                     bool note_subclass = false) noexcept {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
                 expected->tp_name, Py_TYPE(obj)->tp_name);
    if (note_subclass && PyObject_TypeCheck(obj, expected))
        add_note_to_pending("subclasses of built-in types are refused for annotated parameters");
    return nullptr;
}


// The single parameter `param` of a METH_FASTCALL | METH_KEYWORDS method `method`, passed by
// position or by keyword; null with an exception set otherwise. Unusual calls go through the
// interpreter's own argument parser, so its usual messages are what callers see.
inline PyObject* single_argument(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, const char* method,
                                 const char* param) noexcept {
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs == 1 && nkw == 0) return args[0];
    if (nargs == 0 && nkw == 1 && PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(kwnames, 0), param) == 0)
        return args[0];
    Ref positional = Ref::steal(PyTuple_New(nargs));
    Ref keywords = Ref::steal(PyDict_New());
    if (!positional || !keywords) return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(positional.get(), i, Py_NewRef(args[i]));
    for (Py_ssize_t i = 0; i < nkw; ++i)
        if (PyDict_SetItem(keywords.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0) return nullptr;
    // A fixed buffer, not a std::string: nothing here may throw (the method names are short).
    char format[64];
    PyOS_snprintf(format, sizeof format, "O:%.60s", method);
    char* kwlist[] = {const_cast<char*>(param), nullptr};
    PyObject* value = nullptr;
    if (!PyArg_ParseTupleAndKeywords(positional.get(), keywords.get(), format, kwlist, &value)) return nullptr;
    return value;  // borrowed from the caller's arguments, which outlive the call
}


// A zeroed static type object with its header set, for the slot-by-slot set-up of each class.
inline PyTypeObject static_type() noexcept {
    PyTypeObject t{};
    PyVarObject head = {PyObject_HEAD_INIT(nullptr) 0};
    t.ob_base = head;
    return t;
}

}  // namespace tamarack
