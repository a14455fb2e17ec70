# Linux: the core against the scripted fake platform, with the unit tests and the end-to-end
# scenarios (which drive build/win32/Start.exe under Wine).
include(CTest)

# The fuzzing targets (tests/fuzz) need clang, and the code under test instrumented for libFuzzer
# as well as for ASan and UBSan, which LAUNCHER_FUZZ adds to the sanitizers' build (preset
# native-asan) or makes a build of its own.
option(LAUNCHER_FUZZ "Build the libFuzzer targets (clang only)" OFF)
if(LAUNCHER_FUZZ AND NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "LAUNCHER_FUZZ needs clang (CMAKE_CXX_COMPILER=clang++)")
endif()
if(LAUNCHER_SANITIZE OR LAUNCHER_FUZZ)
  set(SAN -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
  if(LAUNCHER_FUZZ)
    list(PREPEND SAN -fsanitize=fuzzer-no-link)
  endif()
  target_compile_options(launcher_core PRIVATE ${SAN})
  target_link_options(launcher_core PUBLIC -fsanitize=address,undefined)
endif()

add_library(fake_platform STATIC platform/fake/FakePlatform.cpp)
target_link_libraries(fake_platform PUBLIC launcher_core)
target_compile_options(fake_platform PRIVATE ${LAUNCHER_WARNINGS} ${SAN})

# The package preset builds disckit alone: no tests, no benchmarks.
if(NOT BUILD_TESTING)
  return()
endif()
find_package(GTest REQUIRED)

file(GLOB UNIT_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/*_test.cpp)
add_executable(unit_tests ${UNIT_TEST_SOURCES})
target_link_libraries(unit_tests PRIVATE fake_platform kit_core GTest::gtest GTest::gtest_main)
target_compile_options(unit_tests PRIVATE ${LAUNCHER_WARNINGS} ${SAN})
set_target_properties(unit_tests PROPERTIES UNITY_BUILD ${LAUNCHER_UNITY})
# GoogleTest's header, parsed once for the thirty-odd test files rather than by each. Not with a
# compiler cache in front (ccache): it would leave every file that uses the header uncached.
if(NOT CMAKE_CXX_COMPILER_LAUNCHER)
  target_precompile_headers(unit_tests PRIVATE <gtest/gtest.h>)
endif()
# The sample disc (made by the win32 preset) whose broken copies the kit's tests check.
set(LAUNCHER_SAMPLE_DISC ${CMAKE_SOURCE_DIR}/build/win32/disc CACHE PATH
    "The sample disc the kit's tests copy; they skip when it is missing")
target_compile_definitions(unit_tests PRIVATE LAUNCHER_SAMPLE_DISC="${LAUNCHER_SAMPLE_DISC}"
  # The trial's driver, whose reader of disckit's request the unit tests run: as disckit runs
  # it, beside the lab's modules it imports (cmake/Install.cmake links them there).
  LAUNCHER_TRIAL_DRIVER_DIR="${CMAKE_BINARY_DIR}/lib/disckit")
include(GoogleTest)
gtest_discover_tests(unit_tests PROPERTIES LABELS unit)

# The table of which Windows carries which library against the script that generates it from its
# sources (an extract kept in the tree, and the import libraries of Debian's MinGW-w64).
find_package(Python3 REQUIRED COMPONENTS Interpreter)
add_test(NAME unit.system_library_table
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/scripts/system-libraries.py generate --check)
set_tests_properties(unit.system_library_table PROPERTIES LABELS unit)

# disckit's --help, its manual page, the README and its parsers know the same options.
add_test(NAME unit.disckit_docs COMMAND ${Python3_EXECUTABLE}
  ${CMAKE_SOURCE_DIR}/tests/disckit_docs_test.py $<TARGET_FILE:disckit> ${CMAKE_SOURCE_DIR}/README.md)
# Seconds under the sanitizers, where every one of its runs of disckit pays their start-up: first.
set_tests_properties(unit.disckit_docs PROPERTIES LABELS "unit;runs-disckit" COST 30)

# The kit's libraries use none above them (scripts/check-layers.py on kit/CMakeLists.txt), and the
# check itself refuses each kind of fault planted in a small tree.
add_test(NAME unit.kit_layers
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/check_layers_test.py)
set_tests_properties(unit.kit_layers PROPERTIES LABELS unit)

# The check of the code that runs before the launcher can refuse a processor, on tiny images in
# which each instruction a Pentium lacks, and each way of reaching run-time code, is planted once.
add_test(NAME unit.early_code_check
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/early_code_test.py)
set_tests_properties(unit.early_code_check PROPERTIES LABELS unit COST 10)

if(LAUNCHER_FUZZ)
  add_subdirectory(tests/fuzz)
endif()

if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/e2e/CMakeLists.txt)
  add_subdirectory(e2e)
endif()

if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/bench/CMakeLists.txt)
  add_subdirectory(bench)
endif()
