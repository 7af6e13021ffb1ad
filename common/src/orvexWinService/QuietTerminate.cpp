// Linked into the Windows executables only. An exception that nothing catches
// ends the process through abort() (exit status 3), as the C++ library's own
// handler does after it has printed the exception's type; this one prints
// nothing, so that the library's symbol demangler (some 46 KB) stays out of
// executables that are meant to stay small enough to check by eye.
#include <cstdlib>

#if defined(__GLIBCXX__)
// The names are the library's own: defining the handler here keeps its version out.
namespace __gnu_cxx {  // NOLINT(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
void __verbose_terminate_handler();  // NOLINT(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
void __verbose_terminate_handler() {  // NOLINT(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
    std::abort();
}
}  // namespace __gnu_cxx
#endif
