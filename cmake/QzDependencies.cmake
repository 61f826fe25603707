# Finds the installed libraries. SDL3, SDL3_image and Lua 5.5 live in the prefix that
# scripts/install-deps.sh prints (QZ_DEPS_PREFIX); everything else comes from Debian packages.
set(QZ_DEPS_PREFIX "$ENV{QZ_DEPS_PREFIX}" CACHE PATH "Prefix with SDL3, SDL3_image and Lua 5.5")
# A build tree follows the prefix the script names now (a new one when what goes into it changed): the
# packages found in the old one are looked up again.
if(NOT "$ENV{QZ_DEPS_PREFIX}" STREQUAL "" AND NOT "$ENV{QZ_DEPS_PREFIX}" STREQUAL "${QZ_DEPS_PREFIX}")
  set(QZ_DEPS_PREFIX "$ENV{QZ_DEPS_PREFIX}" CACHE PATH "Prefix with SDL3, SDL3_image and Lua 5.5" FORCE)
  unset(SDL3_DIR CACHE)
  unset(SDL3_image_DIR CACHE)
endif()
if(NOT QZ_DEPS_PREFIX)
  message(FATAL_ERROR "QZ_DEPS_PREFIX is not set: run scripts/install-deps.sh and pass the prefix it prints")
endif()
list(PREPEND CMAKE_PREFIX_PATH "${QZ_DEPS_PREFIX}")
set(CMAKE_BUILD_RPATH "${QZ_DEPS_PREFIX}/lib")
set(CMAKE_INSTALL_RPATH "${QZ_DEPS_PREFIX}/lib")

find_package(Threads REQUIRED)
find_package(SDL3 REQUIRED CONFIG COMPONENTS SDL3-shared)
find_package(SDL3_image REQUIRED CONFIG)
find_package(PkgConfig REQUIRED)
pkg_check_modules(FREETYPE REQUIRED IMPORTED_TARGET freetype2)
pkg_check_modules(HARFBUZZ REQUIRED IMPORTED_TARGET harfbuzz)
pkg_check_modules(SQLITE3 REQUIRED IMPORTED_TARGET sqlite3)
pkg_check_modules(PUGIXML REQUIRED IMPORTED_TARGET pugixml)
pkg_check_modules(ZLIB REQUIRED IMPORTED_TARGET zlib)
pkg_check_modules(CURL REQUIRED IMPORTED_TARGET libcurl)
pkg_check_modules(LIBCRYPTO REQUIRED IMPORTED_TARGET libcrypto)
pkg_check_modules(RSVG REQUIRED IMPORTED_TARGET librsvg-2.0 cairo)
pkg_check_modules(UTF8PROC REQUIRED IMPORTED_TARGET libutf8proc)

# The Unicode Character Database of Debian's unicode-data package: the build generates the property tables
# utf8proc lacks from it (with Python), and the tests check against it.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(QZ_UCD_DIR "/usr/share/unicode" CACHE PATH "Unicode Character Database (Debian package unicode-data)")
if(NOT EXISTS "${QZ_UCD_DIR}/DerivedCoreProperties.txt")
  message(FATAL_ERROR "No Unicode Character Database in ${QZ_UCD_DIR}: run scripts/install-deps.sh")
endif()

# Lua 5.5 compiled as C++ (a Lua error is a C++ exception, so destructors run). Files and pipes that Lua
# opens go through the host's wrappers (close-on-exec), linked right after the Lua archive. The sanitizer
# build links the same release compiled with the sanitizers and Lua's API checks, so that they see inside Lua.
if(QZ_SANITIZE)
  set(QZ_LUA_INCLUDE_DIRS "${QZ_DEPS_PREFIX}/lua-asan/include")
  set(QZ_LUA_LIBRARY "${QZ_DEPS_PREFIX}/lua-asan/lib/liblua5.5-c++.a")
else()
  set(QZ_LUA_INCLUDE_DIRS "${QZ_DEPS_PREFIX}/lua/usr/include/lua5.5;${QZ_DEPS_PREFIX}/lua/usr/include/x86_64-linux-gnu")
  set(QZ_LUA_LIBRARY "${QZ_DEPS_PREFIX}/lua/usr/lib/x86_64-linux-gnu/liblua5.5-c++.a")
endif()
if(NOT EXISTS "${QZ_LUA_LIBRARY}")
  message(FATAL_ERROR "Lua 5.5 not found at ${QZ_LUA_LIBRARY}: run scripts/install-deps.sh")
endif()
add_library(qz_lua_library STATIC IMPORTED GLOBAL)
set_target_properties(qz_lua_library PROPERTIES
  IMPORTED_LOCATION "${QZ_LUA_LIBRARY}"
  INTERFACE_INCLUDE_DIRECTORIES "${QZ_LUA_INCLUDE_DIRS}")

find_package(GTest REQUIRED)
if(QZ_BENCHMARKS)
  find_package(benchmark REQUIRED)
endif()
