# The class id of the disc's controls, read from the launcher's own names (app/LauncherApp.h,
# kControlClassKey) so that nothing else holds a copy: CONTROL_CLSID ("{...}") for the build,
# and generated/ControlClass.h in the build folder for C programs built outside it (the
# benchmark's floor programs). The end-to-end tests get it in their environment.
file(STRINGS ${PROJECT_SOURCE_DIR}/app/LauncherApp.h class_key_line
     REGEX "kControlClassKey = \"CLSID\\\\\\\\{[-0-9A-F]+}\";")
string(REGEX MATCH "{[-0-9A-F]+}" CONTROL_CLSID "${class_key_line}")
if(NOT CONTROL_CLSID)
  message(FATAL_ERROR "no kControlClassKey in app/LauncherApp.h")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${PROJECT_SOURCE_DIR}/app/LauncherApp.h)
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/generated/ControlClass.h
     CONTENT "/* Generated from app/LauncherApp.h by cmake/ControlClass.cmake. */\n#define CONTROL_CLSID \"@CONTROL_CLSID@\"\n"
     @ONLY)
