// GCC 11 and later make inlined allocations call
// std::__throw_bad_array_new_length, which libstdc++ exports only from
// GLIBCXX_3.4.29 on: newer than the libstdc++ of the wheels' target
// (manylinux_2_28, GCC 8). The module defines it itself; the version script
// keeps it local, so the module needs no newer libstdc++ than it did. Only
// with a shared libstdc++: a static one brings its own definition.
#include <new>

#if defined(__GLIBCXX__) && !defined(TAMARIND_STATIC_CXX_RUNTIME)
namespace std {
[[noreturn]] void __throw_bad_array_new_length() { throw bad_array_new_length(); }
}  // namespace std
#endif
