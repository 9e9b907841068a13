# Helpers that keep each folder's CMakeLists to a few lines.

# Sanitizers are applied to every target of the build, so that tests, the program and the
# libraries it loads agree on the runtime.
function(arvex_apply_sanitizers)
  if(ARVEX_SANITIZE)
    list(JOIN ARVEX_SANITIZE "," _list)
    add_compile_options(-fsanitize=${_list} -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=${_list})
    if("thread" IN_LIST ARVEX_SANITIZE AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
      # The lock-free queue library publishes with standalone fences, which GCC warns that
      # ThreadSanitizer does not model; the code's own orderings are on the atomics.
      add_compile_options(-Wno-tsan)
    endif()
  endif()
endfunction()

function(arvex_set_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion)
endfunction()

# arvex_add_library(NAME SRCS ... DEPS ... [PRIVATE_DEPS ...])
# A static library of one subsystem. Its sources sit in the calling folder; it sees the public
# headers under include/ and the private ones under src/.
function(arvex_add_library name)
  cmake_parse_arguments(ARG "" "" "SRCS;DEPS;PRIVATE_DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SRCS})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/include ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${ARG_DEPS} PRIVATE ${ARG_PRIVATE_DEPS})
  arvex_set_warnings(${name})
endfunction()

# arvex_add_test(NAME SRCS ... DEPS ... LABEL label [SERIAL])
# One GoogleTest executable per subsystem, labelled so that `ctest -L label` runs one area.
function(arvex_add_test name)
  cmake_parse_arguments(ARG "SERIAL" "LABEL" "SRCS;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SRCS})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gmock GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  arvex_set_warnings(${name})
  set(_props LABELS ${ARG_LABEL} TIMEOUT 120)
  if(ARG_SERIAL)
    list(APPEND _props RUN_SERIAL TRUE)
  endif()
  gtest_discover_tests(${name} PROPERTIES ${_props} DISCOVERY_TIMEOUT 60)
endfunction()

# arvex_add_benchmark(NAME SRCS ... DEPS ...)
# A Google Benchmark program under bench/.
function(arvex_add_benchmark name)
  cmake_parse_arguments(ARG "" "" "SRCS;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SRCS})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} benchmark::benchmark benchmark::benchmark_main)
  arvex_set_warnings(${name})
endfunction()
