// libstdcxx_compat.cpp: lets the module load with the libstdc++ of older Linux systems.
//
// With GCC 11 and later, std::allocator<T>::allocate calls std::__throw_bad_array_new_length,
// which the system's libstdc++ exports only from symbol version GLIBCXX_3.4.29 (GCC 11, glibc
// 2.34 systems). It is the one symbol of that version the module uses; defining it here (hidden,
// like every symbol of the module) leaves symbol versions of GCC 5's libstdc++ as the newest the
// module needs, so that the wheel loads on older systems too (auditwheel: manylinux_2_24 rather
// than manylinux_2_34). It throws what the library's own does.
#include <new>

namespace std {
[[noreturn]] void __throw_bad_array_new_length() { throw bad_array_new_length(); }
}  // namespace std
