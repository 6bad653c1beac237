# Locates the system libraries the core links, for the native and the MinGW builds alike.

if(CMAKE_CROSSCOMPILING AND WIN32)
  # Windows binaries link zlib statically so that they need no MinGW runtime DLLs.
  find_library(ZLIB_STATIC NAMES libz.a REQUIRED)
  add_library(cwbk::zlib STATIC IMPORTED)
  set_target_properties(cwbk::zlib PROPERTIES IMPORTED_LOCATION ${ZLIB_STATIC})
  add_library(cwbk::platform_libs INTERFACE IMPORTED)
else()
  find_package(ZLIB REQUIRED)
  add_library(cwbk::zlib ALIAS ZLIB::ZLIB)
  find_package(ICU REQUIRED COMPONENTS uc i18n)
  add_library(cwbk::platform_libs INTERFACE IMPORTED)
  set_target_properties(cwbk::platform_libs PROPERTIES INTERFACE_LINK_LIBRARIES "ICU::uc;ICU::i18n")
endif()

# GoogleTest: Debian's package natively; for MinGW, built from the sources Debian ships.
if(CWBK_TESTS)
  if(CMAKE_CROSSCOMPILING)
    set(GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources")
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
    set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
    add_subdirectory(${GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  else()
    find_package(GTest REQUIRED)
  endif()
endif()

# Crypto++ (the Whirlpool digest of the section key): Debian's package natively; for Windows, built
# once from Debian's source package into the build folder.
if(CMAKE_CROSSCOMPILING AND WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/cryptopp-mingw.cmake)
else()
  find_path(CRYPTOPP_INCLUDE_DIR cryptopp/whrlpool.h REQUIRED)
  find_library(CRYPTOPP_LIBRARY NAMES cryptopp crypto++ REQUIRED)
  add_library(cwbk::cryptopp UNKNOWN IMPORTED)
  set_target_properties(cwbk::cryptopp PROPERTIES IMPORTED_LOCATION ${CRYPTOPP_LIBRARY}
    INTERFACE_INCLUDE_DIRECTORIES ${CRYPTOPP_INCLUDE_DIR})
endif()
