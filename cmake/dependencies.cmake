# Every system dependency of the build, checked before anything is compiled:
# when some are missing, the build fails once, naming all of them by Debian
# package and giving the one command that installs them.
#
# Inputs: VORLANE_BUILD_MODULE, VORLANE_BUILD_TESTS (options of the project),
# VORLANE_PYTHON_INCLUDE_DIR (where the interpreter's Python.h should be).

# Before a compiler is enabled, CMake knows neither the library naming nor
# the multiarch folder (/usr/lib/x86_64-linux-gnu).
if(NOT CMAKE_LIBRARY_ARCHITECTURE)
  execute_process(COMMAND uname -m OUTPUT_VARIABLE machine OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(CMAKE_LIBRARY_ARCHITECTURE "${machine}-linux-gnu")
endif()
if(NOT CMAKE_FIND_LIBRARY_PREFIXES)
  set(CMAKE_FIND_LIBRARY_PREFIXES lib)
endif()
if(NOT CMAKE_FIND_LIBRARY_SUFFIXES)
  set(CMAKE_FIND_LIBRARY_SUFFIXES .so .a)
endif()

function(vorlane_check_dependencies)
  set(missing_packages)
  set(missing_lines)
  macro(vorlane_need package what found)
    if(NOT ${found})
      list(APPEND missing_packages ${package})
      string(APPEND missing_lines "  ${package} (${what})\n")
    endif()
  endmacro()
  # A library needs both its header and the library to link.
  macro(vorlane_need_library package what header library)
    find_path(${library}_h ${header} PATH_SUFFIXES postgresql NO_CACHE)
    find_library(${library}_lib ${library} NO_CACHE)
    set(${library}_found FALSE)
    if(${library}_h AND ${library}_lib)
      set(${library}_found TRUE)
    endif()
    vorlane_need(${package} "${what}" ${library}_found)
  endmacro()

  if(DEFINED ENV{CXX} AND NOT "$ENV{CXX}" STREQUAL "")
    find_program(cxx NAMES $ENV{CXX} NO_CACHE)
  else()
    find_program(cxx NAMES g++ c++ clang++ NO_CACHE)
  endif()
  vorlane_need(g++ "a C++20 compiler" cxx)

  if(VORLANE_BUILD_MODULE)
    set(python_h python_h-NOTFOUND)
    if(VORLANE_PYTHON_INCLUDE_DIR)
      find_path(python_h Python.h PATHS ${VORLANE_PYTHON_INCLUDE_DIR} NO_DEFAULT_PATH NO_CACHE)
    endif()
    vorlane_need(python3-dev "the interpreter's headers, Python.h" python_h)
  endif()

  find_path(asio_h asio.hpp NO_CACHE)
  vorlane_need(libasio-dev "standalone Asio, asio.hpp" asio_h)
  find_path(json_h nlohmann/json.hpp NO_CACHE)
  vorlane_need(nlohmann-json3-dev "nlohmann/json.hpp" json_h)

  vorlane_need_library(libsodium-dev "libsodium, sodium.h" sodium.h sodium)
  vorlane_need_library(libsqlite3-dev "SQLite, sqlite3.h" sqlite3.h sqlite3)
  vorlane_need_library(libpq-dev "the PostgreSQL client library, libpq-fe.h" libpq-fe.h pq)

  if(VORLANE_BUILD_TESTS)
    find_path(gtest_h gtest/gtest.h NO_CACHE)
    vorlane_need(libgtest-dev "GoogleTest, for the C++ tests" gtest_h)
  endif()
  # A binary wheel's build compiles simdjson from its source (static_deps.cmake).
  if(NOT VORLANE_STATIC_DEPS)
    vorlane_need_library(libsimdjson-dev "simdjson, simdjson.h" simdjson.h simdjson)
  endif()

  if(missing_packages)
    list(JOIN missing_packages " " command)
    message(FATAL_ERROR
      "vorlane cannot be built: system packages are missing.\n"
      "${missing_lines}"
      "On Debian or Ubuntu, install them with:\n"
      "  sudo apt-get install ${command}\n"
      "Elsewhere they are called, for example, gcc-c++ python3-devel asio-devel json-devel "
      "libsodium-devel sqlite-devel libpq-devel simdjson-devel (Fedora) or asio nlohmann-json "
      "libsodium sqlite libpq simdjson (Homebrew).\n")
  endif()
endfunction()
