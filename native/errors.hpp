// Translation of native exceptions into Python exceptions, and the guard that every boundary
// between native code and the interpreter uses.
#pragma once

#include "python.hpp"

namespace tamarack {

// Sets the Python exception nearest to the native exception being handled, unless a Python
// exception is already set. Call it only from inside a catch block, with the interpreter lock held.
void translate_current_exception() noexcept;

// The translation for XPath evaluations: pugi::xpath_exception becomes ValueError,
// std::runtime_error RuntimeError, any other std::exception Exception, each with its what() text;
// everything else falls back on translate_current_exception. Call it only from inside a catch block,
// with the interpreter lock held.
void custom_exception_handler() noexcept;

// XPath evaluations report what even their own translation cannot name as this RuntimeError.
inline void translate_xpath_exception() noexcept {
    custom_exception_handler();
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "Error converting c++ exception.");
}

// The one catch ladder at the native boundary. A function that may throw (a container growing,
// a std::string being built, pugixml evaluating) runs its body through `guarded`, which returns
// what the body returns, or `failed` (-1, nullptr, false...) with a Python exception set when a
// native exception escapes the body: the lock is taken for the translation, so the body may run
// without it, and `qualified_name`, when given, becomes the traceback entry of the failure. Use it
// in every noexcept function whose body can throw, so that no native exception reaches the
// interpreter or a noexcept boundary:
//
//     int f(...) noexcept {
//         return guarded(-1, [&] { ...; return 0; }, "tamarack.pugixml.Document._f");
//     }
//
// `translate` picks the translation: translate_current_exception by default,
// translate_xpath_exception for XPath evaluations.
template <class R, class Body>
R guarded(R failed, Body&& body, const char* qualified_name = nullptr,
          void (*translate)() noexcept = translate_current_exception) noexcept {
    try {
        return body();
    } catch (...) {
        GilGuard gil;
        translate();
        if (qualified_name) add_traceback(qualified_name);
        return failed;
    }
}

// The same boundary where a native failure is no error but a reason to take another way (an
// optional cache that does not fit in memory): `fallback` is returned, and no Python exception
// is set, so one already pending stays the one callers see.
template <class R, class Body>
R or_fallback(R fallback, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return fallback;
    }
}

}  // namespace tamarack
