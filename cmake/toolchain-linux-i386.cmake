# Builds 32-bit Linux programs on an x86_64 machine (gcc -m32 with Debian's multilib packages and its
# i386 or lib32 development libraries), linked statically so that qemu-i386 runs them where the kernel
# cannot: the benchmark's memory figures with pointers of 4 bytes, as in the 32-bit Windows module.

# This file is read again once the platform's settings are in, which would find the shared libraries
# first: from then on, only static archives.
set(CMAKE_USER_MAKE_RULES_OVERRIDE ${CMAKE_CURRENT_LIST_FILE})
if(CMAKE_FIND_LIBRARY_SUFFIXES)
  set(CMAKE_FIND_LIBRARY_SUFFIXES .a)
  return()
endif()

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
# SSE2 arithmetic: doubles round as on every 64-bit target instead of through x87 extended precision.
set(CMAKE_C_FLAGS_INIT "-m32 -msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-m32 -msse2 -mfpmath=sse")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32 -static")
# Static ICU: its i18n library needs the common one after it, and the common one its data library.
set(CMAKE_CXX_STANDARD_LIBRARIES_INIT
    "/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/libicuuc.a /usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/libicudata.a")
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-i386)
