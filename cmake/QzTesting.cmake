# Helpers for the test tree: GoogleTest executables, Lua test files run through qz, fuzzers and benchmarks.
include(GoogleTest)

# The environment of test commands that are not GoogleTest executables (those set their defaults in
# tests/support/test_main.cpp). qz itself chooses how its window surfaces are presented; SDL renderers (of
# windows that show tiled images) are software ones, see test_main.cpp.
set(QZ_TEST_ENVIRONMENT "SDL_VIDEO_DRIVER=offscreen" "SDL_RENDER_DRIVER=software" "SDL_AUDIO_DRIVER=dummy"
    "ASAN_OPTIONS=detect_leaks=1:abort_on_error=0"
    "LSAN_OPTIONS=suppressions=${CMAKE_SOURCE_DIR}/tests/support/lsan.supp:print_suppressions=0"
    "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1")

# qz_add_gtest(<name> SOURCES <files...> LIBRARIES <targets...>): one GoogleTest executable; every TEST in it
# becomes its own ctest entry.
function(qz_add_gtest name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBRARIES" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBRARIES} qz_test_main qz_test_support GTest::gmock qz_options)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
endfunction()

# qz_add_lua_tests(<directory>): every *_test.lua file in tests/lua/<directory> runs as its own ctest entry,
# inside a fresh script tree of the built qz (see tests/support/lua_test_main.cpp).
function(qz_add_lua_tests directory)
  file(GLOB test_files CONFIGURE_DEPENDS "${CMAKE_SOURCE_DIR}/tests/lua/${directory}/*_test.lua")
  foreach(test_file IN LISTS test_files)
    get_filename_component(test_name "${test_file}" NAME_WE)
    add_test(NAME lua.${directory}.${test_name}
      COMMAND qz_lua_test "${test_file}" "${CMAKE_SOURCE_DIR}/tests/lua/lib")
    set_tests_properties(lua.${directory}.${test_name} PROPERTIES ENVIRONMENT "${QZ_TEST_ENVIRONMENT}" TIMEOUT 300)
  endforeach()
endfunction()

# qz_add_fuzzer(<name> SOURCES <files...> LIBRARIES <targets...> [CORPUS <dir>]): a libFuzzer target, run by
# ctest for a fixed short budget (QZ_FUZZ_SECONDS, 30 by default).
set(QZ_FUZZ_SECONDS 30 CACHE STRING "Seconds each fuzzer runs under ctest")
function(qz_add_fuzzer name)
  cmake_parse_arguments(ARG "" "CORPUS" "SOURCES;LIBRARIES" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${name} PRIVATE ${ARG_LIBRARIES} qz_options)
  set(corpus_args)
  if(ARG_CORPUS)
    set(corpus_args "${ARG_CORPUS}")
  endif()
  add_test(NAME fuzz.${name} COMMAND ${name} -max_total_time=${QZ_FUZZ_SECONDS} -rss_limit_mb=2048 -timeout=20
    ${corpus_args})
  set_tests_properties(fuzz.${name} PROPERTIES ENVIRONMENT "${QZ_TEST_ENVIRONMENT}" TIMEOUT 600 LABELS fuzz)
endfunction()

# qz_add_benchmark(<name> SOURCES <files...> LIBRARIES <targets...>): a Google Benchmark executable (never a test).
function(qz_add_benchmark name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBRARIES" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBRARIES} benchmark::benchmark qz_options)
endfunction()
