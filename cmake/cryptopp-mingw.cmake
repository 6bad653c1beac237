# Crypto++ for the Windows builds: Debian's source package, fetched once into this build folder and
# built as a static library with the library's own cross makefile for the MinGW target in use. Later
# configures find the finished library and neither fetch nor build again. Defines cwbk::cryptopp.
#
# The cache folder (CWBK_CRYPTOPP_CACHE) holds:
#   download/          what `apt-get source` fetched and unpacked (the build runs in the source tree)
#   include/cryptopp/  the headers, copied after a successful build
#   lib/libcryptopp.a  the static library
#   built.stamp        written last, naming the target triple: the two folders above are complete

if(NOT MINGW_TRIPLE)
  message(FATAL_ERROR "Crypto++ for Windows: MINGW_TRIPLE is not set (use a MinGW toolchain file)")
endif()
set(CWBK_CRYPTOPP_CACHE ${CMAKE_BINARY_DIR}/_deps/cryptopp CACHE PATH
  "Where Crypto++ for the Windows build is fetched and built")
set(_cryptopp_stamp ${CWBK_CRYPTOPP_CACHE}/built.stamp)
set(_cryptopp_library ${CWBK_CRYPTOPP_CACHE}/lib/libcryptopp.a)

set(_cryptopp_built "")
if(EXISTS ${_cryptopp_stamp} AND EXISTS ${_cryptopp_library})
  file(STRINGS ${_cryptopp_stamp} _cryptopp_built LIMIT_COUNT 1)
endif()
if(NOT _cryptopp_built STREQUAL "${MINGW_TRIPLE}")
  find_program(CWBK_APT_GET apt-get REQUIRED)
  find_program(CWBK_MAKE NAMES make gmake REQUIRED)
  include(ProcessorCount)
  ProcessorCount(_cryptopp_jobs)
  if(_cryptopp_jobs EQUAL 0)
    set(_cryptopp_jobs 1)
  endif()

  # Fetch: a fresh download folder each time, so that a fetch cut short earlier leaves nothing behind.
  set(_download ${CWBK_CRYPTOPP_CACHE}/download)
  file(GLOB _sources LIST_DIRECTORIES true ${_download}/libcrypto++-*/GNUmakefile-cross)
  if(NOT _sources)
    message(STATUS "Crypto++ for Windows: fetching Debian's source package")
    file(REMOVE_RECURSE ${_download})
    file(MAKE_DIRECTORY ${_download})
    execute_process(COMMAND ${CWBK_APT_GET} source -q libcrypto++
      WORKING_DIRECTORY ${_download} RESULT_VARIABLE _result OUTPUT_VARIABLE _output ERROR_VARIABLE _output)
    file(GLOB _sources LIST_DIRECTORIES true ${_download}/libcrypto++-*/GNUmakefile-cross)
    if(NOT _result EQUAL 0 OR NOT _sources)
      message(FATAL_ERROR "Crypto++ for Windows: `apt-get source libcrypto++` failed (deb-src entries "
        "and dpkg-dev are installed by scripts/setup):\n${_output}")
    endif()
  endif()
  list(GET _sources 0 _makefile)
  get_filename_component(_source_dir ${_makefile} DIRECTORY)

  # Build: the static library only, without assembly, for the toolchain's triple.
  message(STATUS "Crypto++ for Windows: building ${MINGW_TRIPLE} static library (takes a few minutes)")
  execute_process(COMMAND ${CWBK_MAKE} -j${_cryptopp_jobs} -f GNUmakefile-cross static
      CXX=${MINGW_TRIPLE}-g++-posix AR=${MINGW_TRIPLE}-ar RANLIB=${MINGW_TRIPLE}-ranlib
      "CXXFLAGS=-O2 -DNDEBUG -DCRYPTOPP_DISABLE_ASM"
    WORKING_DIRECTORY ${_source_dir} RESULT_VARIABLE _result OUTPUT_VARIABLE _output ERROR_VARIABLE _output)
  if(NOT _result EQUAL 0 OR NOT EXISTS ${_source_dir}/libcryptopp.a)
    string(LENGTH "${_output}" _length)
    if(_length GREATER 4000)
      math(EXPR _from "${_length} - 4000")
      string(SUBSTRING "${_output}" ${_from} -1 _output)
    endif()
    message(FATAL_ERROR "Crypto++ for Windows: the build failed:\n${_output}")
  endif()

  # Install into the cache: the library and every header, under the name the sources include.
  file(REMOVE_RECURSE ${CWBK_CRYPTOPP_CACHE}/include ${CWBK_CRYPTOPP_CACHE}/lib)
  file(GLOB _headers ${_source_dir}/*.h)
  file(COPY ${_headers} DESTINATION ${CWBK_CRYPTOPP_CACHE}/include/cryptopp)
  file(COPY ${_source_dir}/libcryptopp.a DESTINATION ${CWBK_CRYPTOPP_CACHE}/lib)
  file(WRITE ${_cryptopp_stamp} "${MINGW_TRIPLE}\n")
  message(STATUS "Crypto++ for Windows: built ${_cryptopp_library}")
endif()

add_library(cwbk::cryptopp STATIC IMPORTED)
set_target_properties(cwbk::cryptopp PROPERTIES
  IMPORTED_LOCATION ${_cryptopp_library}
  INTERFACE_INCLUDE_DIRECTORIES ${CWBK_CRYPTOPP_CACHE}/include
  INTERFACE_COMPILE_DEFINITIONS CRYPTOPP_DISABLE_ASM)
