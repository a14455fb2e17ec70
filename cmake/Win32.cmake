# Windows: Start.exe, a static PE32 GUI program, and the sample disc's stand-in programs.
enable_language(RC)

# Small, static and reproducible: no time stamp, no build paths in the image.
set(WIN32_COMMON_FLAGS -ffunction-sections -fdata-sections
    -ffile-prefix-map=${CMAKE_SOURCE_DIR}=. -ffile-prefix-map=${CMAKE_BINARY_DIR}=.)
set(WIN32_LINK_FLAGS -static -static-libgcc -static-libstdc++ -Wl,--gc-sections -s
    -Wl,--no-insert-timestamp -Wl,--dynamicbase -Wl,--nxcompat -Wl,--tsaware)
target_compile_options(launcher_core PRIVATE ${WIN32_COMMON_FLAGS})

add_executable(Start WIN32
  platform/win32/Win32Platform.cpp
  platform/win32/Main.cpp
  platform/win32/Start.rc
)
target_link_libraries(Start PRIVATE launcher_core)
target_compile_options(Start PRIVATE ${LAUNCHER_WARNINGS} ${WIN32_COMMON_FLAGS})
target_link_options(Start PRIVATE ${WIN32_LINK_FLAGS})
set_target_properties(Start PROPERTIES OUTPUT_NAME Start RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
set_source_files_properties(platform/win32/Start.rc PROPERTIES
  OBJECT_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/platform/win32/Start.manifest)

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
