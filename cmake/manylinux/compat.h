// Included first in every translation unit of a manylinux build (the CMake
// option ORVELTA_MANYLINUX). glibc keeps every version of a symbol it ever
// exported, and a program may bind to an older one: these directives make the
// compiled code ask for the versions that glibc 2.28 already had instead of the
// newest ones of the glibc it is linked against.
//
//  - exp, log, pow: GLIBC_2.29 only dropped the SVID error-handling wrapper
//    (matherr) around the same code. Both versions return the same double
//    for every argument (checked on 2e7 random bit patterns and moderate
//    arguments each); the one difference is the sign of the NaN that log
//    returns for a negative argument (the older gives +NaN).
//  - pthread_once: GLIBC_2.34 only moved it from libpthread into libc.
#pragma once

#if defined(__x86_64__) && defined(__linux__)
__asm__(".symver exp,exp@GLIBC_2.2.5");
__asm__(".symver log,log@GLIBC_2.2.5");
__asm__(".symver pow,pow@GLIBC_2.2.5");
__asm__(".symver pthread_once,pthread_once@GLIBC_2.2.5");
#endif
