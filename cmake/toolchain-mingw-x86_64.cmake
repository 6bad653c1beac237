# Cross-compiles for 64-bit Windows with the posix-threads MinGW-w64 compilers, run under 64-bit Wine:
# the fallback for machines that cannot run 32-bit programs (and so not 32-bit Wine). x86_64 does its
# double arithmetic in SSE2 already.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
