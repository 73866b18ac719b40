// Translation of native exceptions into Python exceptions.
#pragma once

namespace tamarack {

// Sets the Python exception nearest to the native exception being handled, unless a Python
// exception is already set. Call it only from inside a catch block, with the interpreter lock held.
void translate_current_exception() noexcept;

// The translation for XPath evaluations: pugi::xpath_exception becomes ValueError,
// std::runtime_error RuntimeError, any other std::exception Exception, each with its what() text;
// everything else falls back on translate_current_exception. Call it only from inside a catch block,
// with the interpreter lock held.
void custom_exception_handler() noexcept;

}  // namespace tamarack
