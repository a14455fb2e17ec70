# Windows: Start.exe, a static PE32 GUI program, the lab's tools and the sample disc's stand-in
# programs.
enable_language(RC)

# Small, static and reproducible: no time stamp, no build paths in the image.
set(WIN32_COMMON_FLAGS -ffunction-sections -fdata-sections
    -ffile-prefix-map=${CMAKE_SOURCE_DIR}=. -ffile-prefix-map=${CMAKE_BINARY_DIR}=.)
# For the Pentium, the least processor of the systems the launcher has to refuse: the compiler's
# default, the Pentium Pro, brings conditional moves, which a Pentium cannot execute.
# scripts/check-early-code.py counts what the prebuilt run-time still holds of them.
list(APPEND WIN32_COMMON_FLAGS -march=i586 -mtune=generic)
set(WIN32_LINK_FLAGS -static -static-libgcc -static-libstdc++ -Wl,--gc-sections -s
    -Wl,--no-insert-timestamp -Wl,--dynamicbase -Wl,--nxcompat -Wl,--tsaware)
# The launcher's own code checks the stack frames that hold arrays before they return; the guard
# and the failure routine are its own (platform/win32/Fatal.cpp). Whatever links the core links
# with the flag too, so that the compiler's support library stands in where they are missing.
set(LAUNCHER_STACK_PROTECTOR -fstack-protector-strong)
target_compile_options(launcher_core PRIVATE ${WIN32_COMMON_FLAGS} ${LAUNCHER_STACK_PROTECTOR})
target_link_options(launcher_core INTERFACE ${LAUNCHER_STACK_PROTECTOR})

# Start.exe catches no exception: every end it cannot go on from is the quiet one of
# platform/win32/Fatal.cpp, the run-time's throw helpers and operator new included. Without the
# exception machinery it is a fraction of the size. It gets a copy of the core built that way;
# disckit.exe keeps the core with exceptions, which its simulation throws through.
set(START_SIZE_FLAGS -fno-exceptions -fno-asynchronous-unwind-tables)
get_target_property(core_sources launcher_core SOURCES)
add_library(launcher_core_start STATIC ${core_sources})
target_include_directories(launcher_core_start PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_options(launcher_core_start PRIVATE ${LAUNCHER_WARNINGS} ${WIN32_COMMON_FLAGS}
                       ${LAUNCHER_STACK_PROTECTOR} ${START_SIZE_FLAGS})
target_link_options(launcher_core_start INTERFACE ${LAUNCHER_STACK_PROTECTOR})

# The launcher's application layer on top of the core; dir: where the program goes.
function(launcher_program target dir)
  add_executable(${target} WIN32
    platform/win32/Win32Platform.cpp
    platform/win32/Main.cpp
    platform/win32/Fatal.cpp
    platform/win32/Pentium.cpp
    platform/win32/Start.rc
    ${ARGN}
  )
  target_link_libraries(${target} PRIVATE launcher_core_start)
  target_compile_options(${target} PRIVATE ${LAUNCHER_WARNINGS} ${WIN32_COMMON_FLAGS}
                         ${LAUNCHER_STACK_PROTECTOR} ${START_SIZE_FLAGS})
  # The link map beside the program: where scripts/check-imports.sh finds the stack guard's
  # check, which the stripped image no longer names.
  target_link_options(${target} PRIVATE ${WIN32_LINK_FLAGS} -Wl,-Map=${dir}/${target}.map)
  set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${dir})
endfunction()

launcher_program(Start ${CMAKE_BINARY_DIR})
# The test build: the same sources and core with the hooks of platform/win32/TestHooks.h, for the
# end-to-end scenarios only. It sits with the test tools, never on the disc.
launcher_program(StartTest ${CMAKE_BINARY_DIR}/tools platform/win32/TestHooks.cpp)
target_compile_definitions(StartTest PRIVATE LAUNCHER_TEST_HOOKS)
# The stock icon, drawn by a script of the repository at build time; Start.rc finds it in the
# build folder.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/Start.ico
  COMMAND Python3::Interpreter ${CMAKE_CURRENT_SOURCE_DIR}/platform/win32/StartIcon.py
          ${CMAKE_BINARY_DIR}/Start.ico
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/platform/win32/StartIcon.py
  COMMENT "Drawing Start.exe's stock icon" VERBATIM)
add_custom_target(start_icon DEPENDS ${CMAKE_BINARY_DIR}/Start.ico)
foreach(target Start StartTest)
  add_dependencies(${target} start_icon)
  target_include_directories(${target} PRIVATE ${CMAKE_BINARY_DIR})
endforeach()
set_source_files_properties(platform/win32/Start.rc PROPERTIES
  OBJECT_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/platform/win32/Start.manifest;${CMAKE_CURRENT_SOURCE_DIR}/platform/win32/StartVersion.h;${CMAKE_BINARY_DIR}/Start.ico")

# The small C programs beside the launcher: the sample disc's stand-ins, the lab's tools and the
# tests' own. name: the file name, suffix included; dir: where it goes; CONSOLE: a console program.
set(CMAKE_C_STANDARD 11)
set(CMAKE_C_STANDARD_REQUIRED ON)
function(windows_program target name dir)
  get_filename_component(base ${name} NAME_WE)
  get_filename_component(suffix ${name} EXT)
  target_compile_options(${target} PRIVATE ${LAUNCHER_WARNINGS} ${WIN32_COMMON_FLAGS})
  target_link_options(${target} PRIVATE ${WIN32_LINK_FLAGS})
  if("CONSOLE" IN_LIST ARGN)
    target_link_options(${target} PRIVATE -mconsole)
  endif()
  set_target_properties(${target} PROPERTIES OUTPUT_NAME ${base} PREFIX "" SUFFIX ${suffix}
    RUNTIME_OUTPUT_DIRECTORY ${dir} LIBRARY_OUTPUT_DIRECTORY ${dir})
endfunction()

add_subdirectory(lab/tools lab-tools)
if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/e2e/tools/CMakeLists.txt)
  add_subdirectory(e2e/tools e2e-tools)
endif()
if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/disc/CMakeLists.txt)
  add_subdirectory(disc disc-build)
  add_custom_command(TARGET Start POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:Start> ${CMAKE_BINARY_DIR}/disc/Start.exe VERBATIM)

  # The sample disc as a disc author presses it: an ISO 9660 image with Joliet names (what
  # Windows shows) and Rock Ridge (what Linux tools extract), every file read-only.
  find_program(XORRISO xorriso)
  if(NOT XORRISO)
    message(FATAL_ERROR "xorriso not found: it makes the sample disc's image (scripts/deps.sh build installs it)")
  endif()
  set(DISC_LABEL SWIFTDECK)
  set(program_files)
  foreach(program ${SAMPLE_DISC_PROGRAMS})
    list(APPEND program_files $<TARGET_FILE:${program}>)
  endforeach()
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/disc.iso
    COMMAND ${CMAKE_COMMAND} -E rm -f ${CMAKE_BINARY_DIR}/disc.iso
    COMMAND ${XORRISO} -report_about WARNING -as mkisofs -J -r -V ${DISC_LABEL}
            -o ${CMAKE_BINARY_DIR}/disc.iso ${CMAKE_BINARY_DIR}/disc
    DEPENDS Start $<TARGET_FILE:Start> ${program_files} ${SAMPLE_DISC_FILES}
    COMMENT "Pressing the sample disc into disc.iso" VERBATIM)
  add_custom_target(disc_image ALL DEPENDS ${CMAKE_BINARY_DIR}/disc.iso)
  add_dependencies(disc_image sample_disc)
endif()
