# Self-contained modules for binary wheels: libsodium and SQLite from their
# static archives, simdjson compiled from its sources, libpq from a static
# build made without GSSAPI and LDAP (scripts/wheels.sh builds one), and
# OpenSSL, which libpq needs for TLS, from its static archives too. The
# modules then need nothing beyond the C and C++ runtimes. Every library
# linked in this way has its licence text installed into the wheel's
# metadata folder.
#
#   VORLANE_STATIC_DEPS=ON        link the libraries above statically
#   VORLANE_LIBPQ_PREFIX=DIR      the libpq build: DIR/include, DIR/lib/libpq.a,
#                                 libpgcommon_shlib.a, libpgport_shlib.a, and
#                                 DIR/COPYRIGHT, the PostgreSQL licence
#   VORLANE_SIMDJSON_SOURCE=DIR   simdjson's sources (Debian's source package
#                                 simdjson, unpacked): DIR/singleheader/simdjson.cpp
#                                 and simdjson.h, compiled here into a static
#                                 library, and DIR/LICENSE
#
# Included before core/ is configured: it defines the imported targets and
# cache entries that core/CMakeLists.txt's find calls then take as found;
# vorlane_static_deps_complete(), called after, gives the libpq target that
# FindPostgreSQL made the libraries a static libpq needs besides.

if(NOT VORLANE_STATIC_DEPS)
  return()
endif()
if(NOT VORLANE_LIBPQ_PREFIX OR NOT EXISTS "${VORLANE_LIBPQ_PREFIX}/lib/libpq.a")
  message(FATAL_ERROR
    "VORLANE_STATIC_DEPS needs VORLANE_LIBPQ_PREFIX, a folder holding a static libpq "
    "(lib/libpq.a and include/libpq-fe.h); scripts/wheels.sh builds one")
endif()

set(VORLANE_SIMDJSON_SOURCE "" CACHE PATH "simdjson's unpacked source package, for VORLANE_STATIC_DEPS")
if(NOT VORLANE_SIMDJSON_SOURCE OR NOT EXISTS "${VORLANE_SIMDJSON_SOURCE}/singleheader/simdjson.cpp")
  message(FATAL_ERROR
    "VORLANE_STATIC_DEPS needs VORLANE_SIMDJSON_SOURCE, the unpacked source package of "
    "simdjson (singleheader/simdjson.cpp, singleheader/simdjson.h and LICENSE)")
endif()

function(vorlane_static_archive var name)
  find_library(${var} NAMES lib${name}.a REQUIRED NO_CACHE)
  set(${var} ${${var}} PARENT_SCOPE)
endfunction()

vorlane_static_archive(sodium_archive sodium)
vorlane_static_archive(sqlite_archive sqlite3)
vorlane_static_archive(ssl_archive ssl)
vorlane_static_archive(crypto_archive crypto)
find_path(sqlite_include sqlite3.h REQUIRED NO_CACHE)
find_package(Threads REQUIRED)

# core/CMakeLists.txt: find_library(SODIUM_LIBRARY sodium) keeps this entry.
set(SODIUM_LIBRARY "${sodium_archive}" CACHE FILEPATH "libsodium, linked statically" FORCE)

# FindSQLite3 creates its targets only when they do not exist yet.
foreach(target SQLite::SQLite3 SQLite3::SQLite3)
  add_library(${target} STATIC IMPORTED GLOBAL)
  set_target_properties(${target} PROPERTIES
    IMPORTED_LOCATION "${sqlite_archive}"
    INTERFACE_INCLUDE_DIRECTORIES "${sqlite_include}"
    INTERFACE_LINK_LIBRARIES "Threads::Threads;m")
endforeach()
set(SQLite3_LIBRARY "${sqlite_archive}" CACHE FILEPATH "SQLite, linked statically" FORCE)
set(SQLite3_INCLUDE_DIR "${sqlite_include}" CACHE PATH "SQLite's headers" FORCE)

# simdjson: core/CMakeLists.txt links this target instead of the system's
# shared library.  Its code is not ours to warn about.
add_library(vorlane_simdjson STATIC "${VORLANE_SIMDJSON_SOURCE}/singleheader/simdjson.cpp")
target_include_directories(vorlane_simdjson SYSTEM PUBLIC "${VORLANE_SIMDJSON_SOURCE}/singleheader")
target_compile_options(vorlane_simdjson PRIVATE -w)
set_target_properties(vorlane_simdjson PROPERTIES CXX_VISIBILITY_PRESET hidden
                                                  VISIBILITY_INLINES_HIDDEN ON)

# libpq: FindPostgreSQL (in core/) takes these entries and makes the target;
# what the static libpq needs besides is added to it once core/ is
# configured (vorlane_static_deps_complete): PostgreSQL's common and port
# libraries in their position-independent builds, and OpenSSL.
set(PostgreSQL_LIBRARY "${VORLANE_LIBPQ_PREFIX}/lib/libpq.a" CACHE FILEPATH "libpq, linked statically" FORCE)
set(PostgreSQL_INCLUDE_DIR "${VORLANE_LIBPQ_PREFIX}/include" CACHE PATH "libpq's headers" FORCE)
set(PostgreSQL_TYPE_INCLUDE_DIR "${VORLANE_LIBPQ_PREFIX}/include" CACHE PATH "" FORCE)
set(vorlane_libpq_needs
  "${VORLANE_LIBPQ_PREFIX}/lib/libpgcommon_shlib.a" "${VORLANE_LIBPQ_PREFIX}/lib/libpgport_shlib.a"
  "${ssl_archive}" "${crypto_archive}" Threads::Threads)
function(vorlane_static_deps_complete)
  set_property(TARGET PostgreSQL::PostgreSQL APPEND PROPERTY INTERFACE_LINK_LIBRARIES ${vorlane_libpq_needs})
endfunction()

# Licence texts: PostgreSQL's from its sources, the others as Debian ships
# them with the packages the archives came from. Apache-2.0 is OpenSSL's.
if(DEFINED SKBUILD_METADATA_DIR)
  set(licenses "${SKBUILD_METADATA_DIR}/licenses")
  install(FILES "${VORLANE_LIBPQ_PREFIX}/COPYRIGHT" DESTINATION "${licenses}/libpq")
  install(FILES "${VORLANE_SIMDJSON_SOURCE}/LICENSE" DESTINATION "${licenses}/simdjson")
  foreach(entry
      "openssl:/usr/share/doc/libssl3/copyright"
      "openssl:/usr/share/common-licenses/Apache-2.0"
      "libsodium:/usr/share/doc/libsodium23/copyright"
      "sqlite:/usr/share/doc/libsqlite3-0/copyright"
      "asio:/usr/share/doc/libasio-dev/copyright"
      "nlohmann-json:/usr/share/doc/nlohmann-json3-dev/copyright")
    string(REPLACE ":" ";" entry "${entry}")
    list(GET entry 0 name)
    list(GET entry 1 file)
    if(NOT EXISTS "${file}")
      message(FATAL_ERROR "licence text missing: ${file}")
    endif()
    install(FILES "${file}" DESTINATION "${licenses}/${name}")
  endforeach()
endif()
