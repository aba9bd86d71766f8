# Helpers that make every target of the project the same way: warnings, sanitizers, include root.

function(pellix_compile_options TARGET)
  target_compile_options(${TARGET} PRIVATE -Wall -Wextra -Wpedantic)
  if(PELLIX_WERROR)
    target_compile_options(${TARGET} PRIVATE -Werror)
  endif()
  if(PELLIX_SANITIZE STREQUAL "address")
    # Every finding stops the program, except a failed type check of a virtual call, which
    # stops it only under UBSAN_OPTIONS=halt_on_error=1 (as the test-asan run sets): the
    # check reads the object's type through a pipe, so in a program that has run out of
    # descriptors it fails for sound objects, and a test that runs pellix out of them must be
    # able to let such reports pass.
    target_compile_options(${TARGET} PRIVATE -fsanitize=address,undefined -fno-omit-frame-pointer
                                             -fno-sanitize-recover=undefined -fsanitize-recover=vptr)
    target_link_options(${TARGET} PRIVATE -fsanitize=address,undefined)
  elseif(PELLIX_SANITIZE STREQUAL "thread")
    target_compile_options(${TARGET} PRIVATE -fsanitize=thread -fno-omit-frame-pointer)
    target_link_options(${TARGET} PRIVATE -fsanitize=thread)
  elseif(NOT PELLIX_SANITIZE STREQUAL "")
    message(FATAL_ERROR "PELLIX_SANITIZE must be empty, 'address' or 'thread'")
  endif()
endfunction()

# pellix_library(NAME DEPS dep...): a static library pellix_NAME with the alias pellix::NAME.
# Sources are added by the folders' own CMakeLists with target_sources().
function(pellix_library NAME)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  add_library(pellix_${NAME} STATIC)
  add_library(pellix::${NAME} ALIAS pellix_${NAME})
  target_include_directories(pellix_${NAME} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(pellix_${NAME} PUBLIC ${ARG_DEPS})
  pellix_compile_options(pellix_${NAME})
endfunction()

# pellix_test(NAME SRCS file... DEPS dep... [LABELS label...] [PROPERTIES prop value...])
# A GoogleTest program whose cases CTest discovers one by one. Label "concurrency" marks
# the suites that also run under ThreadSanitizer.
function(pellix_test NAME)
  cmake_parse_arguments(ARG "" "" "SRCS;DEPS;LABELS;PROPERTIES" ${ARGN})
  add_executable(${NAME} ${ARG_SRCS})
  target_include_directories(${NAME} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(${NAME} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gtest_main GTest::gmock)
  pellix_compile_options(${NAME})
  set(labels ${ARG_LABELS})
  if(NOT labels)
    set(labels unit)
  endif()
  # gtest_discover_tests cannot carry a list inside PROPERTIES (CMake 3.25 splits it and
  # shifts every later property), so the labels travel as one label joined by "-":
  # "unit;concurrency" becomes "unit-concurrency", which ctest -L concurrency still selects
  # (-L is a regular expression).
  list(JOIN labels "-" labels)
  gtest_discover_tests(${NAME}
    DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS "${labels}" TIMEOUT 300 ${ARG_PROPERTIES})
endfunction()

# pellix_bench(NAME SRCS file... DEPS dep...): a Google Benchmark program (not run by CTest).
function(pellix_bench NAME)
  cmake_parse_arguments(ARG "" "" "SRCS;DEPS" ${ARGN})
  add_executable(${NAME} ${ARG_SRCS})
  target_include_directories(${NAME} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/bench)
  target_link_libraries(${NAME} PRIVATE ${ARG_DEPS} benchmark::benchmark)
  pellix_compile_options(${NAME})
endfunction()

# pellix_use_allocator(TARGET): the allocator of a program that serves connections (pellix and
# the HTTP benchmark's server). A request's objects are made on one worker thread and freed on
# another (made on the connection queue, freed on a socket queue); glibc's malloc serialises
# those frees on the arena lock of the thread that made them, jemalloc hands them back in
# batches from a cache per thread. The settings that keep jemalloc small are compiled in
# (Platform/AllocatorSettings.cpp). Sanitizer builds keep the sanitizer's allocator;
# PELLIX_ALLOCATOR=system keeps glibc's.
function(pellix_use_allocator TARGET)
  if(NOT PELLIX_SANITIZE STREQUAL "" OR PELLIX_ALLOCATOR STREQUAL "system")
    return()
  endif()
  if(NOT PELLIX_ALLOCATOR STREQUAL "jemalloc")
    message(FATAL_ERROR "PELLIX_ALLOCATOR must be 'jemalloc' or 'system'")
  endif()
  pkg_check_modules(JEMALLOC REQUIRED IMPORTED_TARGET jemalloc)
  target_sources(${TARGET} PRIVATE ${PROJECT_SOURCE_DIR}/src/Platform/AllocatorSettings.cpp)
  set_source_files_properties(${PROJECT_SOURCE_DIR}/src/Platform/AllocatorSettings.cpp TARGET_DIRECTORY ${TARGET}
    PROPERTIES COMPILE_DEFINITIONS "PELLIX_JEMALLOC_CONF=\"${PELLIX_JEMALLOC_CONF}\"")
  target_link_libraries(${TARGET} PRIVATE PkgConfig::JEMALLOC)
endfunction()
