// Linked into each module of a manylinux build (the CMake option ORVELTA_MANYLINUX).
//
// libstdc++ (its headers, and its static archive linked into the modules)
// reads glibc's __libc_single_threaded, which glibc added in 2.32, to skip
// atomic reference counting while a process has one thread. Each module keeps
// a private copy of that flag, fixed at 0 ("other threads may exist"), so the
// reference counts are always atomic: correct in every process, whatever the
// glibc, which is what libstdc++ did before the flag existed.
extern "C" {
__attribute__((visibility("hidden"))) char __libc_single_threaded = 0;
}
