# disckit as installed: the program in bin/, what it runs in lib/disckit/ (the trial's driver and
# Wine lab, the lab's Windows tools, the stock Start.exe), the manual page and the bash
# completion written by the program itself from its help tables, and a Debian package of it all
# (cpack -G DEB). The program finds lib/disckit as ../lib/disckit from its own folder; the build
# tree gets the same files linked into lib/disckit beside build/native/disckit.
include(GNUInstallDirs)

set(LAUNCHER_WIN32_BUILD ${CMAKE_SOURCE_DIR}/build/win32 CACHE PATH
    "The win32 preset's build folder, whose Start.exe and lab tools disckit installs")
set(DISCKIT_RUNTIME_DIR lib/disckit)
# What the trial's driver needs of the lab's tools; the rest serve the test scenarios only (the
# launcher with test hooks among them) and are never installed.
set(DISCKIT_LAB_TOOLS OsProbe.exe BoxWatcher.exe ProcList.exe WaitReady.exe)
# The trial's driver and the modules it imports: its own (kit/trial/) and the Wine lab (lab/).
# Installed side by side, as the driver imports them.
set(DISCKIT_DRIVER kit/trial/trial.py kit/trial/trial_trace.py kit/trial/trial_run.py
    kit/trial/trialbox.py lab/winelab.py lab/machine.py)
list(TRANSFORM DISCKIT_DRIVER PREPEND ${CMAKE_SOURCE_DIR}/)

# The build tree's lib/disckit: links, so that an edit of the driver needs no build.
set(stage ${CMAKE_BINARY_DIR}/${DISCKIT_RUNTIME_DIR})
file(MAKE_DIRECTORY ${stage})
file(GLOB stale LIST_DIRECTORIES true ${stage}/*)
if(stale)
  file(REMOVE ${stale})
endif()
foreach(module ${DISCKIT_DRIVER})
  get_filename_component(name ${module} NAME)
  file(CREATE_LINK ${module} ${stage}/${name} SYMBOLIC)
endforeach()
file(CREATE_LINK ${LAUNCHER_WIN32_BUILD}/tools ${stage}/tools SYMBOLIC)
file(CREATE_LINK ${LAUNCHER_WIN32_BUILD}/Start.exe ${stage}/Start.exe SYMBOLIC)

# The manual page and the completion, from the tables the --help texts come from.
set(doc ${CMAKE_BINARY_DIR}/doc)
add_custom_command(OUTPUT ${doc}/disckit.1 ${doc}/disckit.1.gz ${doc}/disckit
  COMMAND ${CMAKE_COMMAND} -E make_directory ${doc}
  COMMAND sh -c "\"$1\" --manual-page > \"$2\"/disckit.1 && \"$1\" --bash-completion > \"$2\"/disckit && gzip -9nc \"$2\"/disckit.1 > \"$2\"/disckit.1.gz"
          sh $<TARGET_FILE:disckit> ${doc}
  DEPENDS disckit VERBATIM)
add_custom_target(disckit_docs ALL DEPENDS ${doc}/disckit.1.gz ${doc}/disckit)
# A changelog in Debian's format, compressed as Debian ships it; its newest entry is this version.
file(STRINGS ${CMAKE_SOURCE_DIR}/packaging/changelog changelog_head LIMIT_COUNT 1)
if(NOT changelog_head MATCHES "^disckit \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog does not start with an entry for ${PROJECT_VERSION}")
endif()
add_custom_command(OUTPUT ${doc}/changelog.gz
  COMMAND ${CMAKE_COMMAND} -E make_directory ${doc}
  COMMAND sh -c "gzip -9nc \"$1\" > \"$2\"" sh ${CMAKE_SOURCE_DIR}/packaging/changelog
          ${doc}/changelog.gz
  DEPENDS ${CMAKE_SOURCE_DIR}/packaging/changelog VERBATIM)
add_custom_target(disckit_changelog ALL DEPENDS ${doc}/changelog.gz)

install(TARGETS disckit RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${DISCKIT_DRIVER} DESTINATION ${DISCKIT_RUNTIME_DIR})
list(TRANSFORM DISCKIT_LAB_TOOLS PREPEND ${LAUNCHER_WIN32_BUILD}/tools/)
install(FILES ${DISCKIT_LAB_TOOLS} DESTINATION ${DISCKIT_RUNTIME_DIR}/tools)
install(FILES ${LAUNCHER_WIN32_BUILD}/Start.exe DESTINATION ${DISCKIT_RUNTIME_DIR})
install(FILES ${doc}/disckit.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${doc}/disckit DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright ${doc}/changelog.gz
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/disckit)

# The Debian package: build/<preset>/disckit_<version>_amd64.deb.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME disckit)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(DISCKIT_MAINTAINER "disckit maintainers <disckit@example.org>" CACHE STRING
    "The Maintainer field of the Debian package")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${DISCKIT_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Root's cache of prefix templates, /var/cache/disckit: made 0711 when missing, removed on purge.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${CMAKE_SOURCE_DIR}/packaging/postinst;${CMAKE_SOURCE_DIR}/packaging/postrm")
# What the verbs run. The trial needs Wine's 32-bit part: wine32 is built for i386 only and is
# Multi-Arch: foreign, so a plain dependency on it is met by wine32:i386 on a machine that has
# i386 among its architectures (dpkg --add-architecture i386) and cannot be met elsewhere, as it
# should be. ImageMagick's import takes the screenshots; useradd (passwd) makes the lab's account.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "python3, python3-seccomp, wine, wine64, wine32, xvfb, xorriso, imagemagick, bubblewrap, util-linux, passwd")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "locales")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "check, simulate and try a driver disc's launcher")
# The synopsis is the summary; CPack indents these lines as the long description.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"disckit is the disc author's kit for discs started by Start.exe, built on the
launcher's own code: check finds a disc folder's faults before it is pressed,
simulate runs the launcher's sequence against any described Windows version
and language in milliseconds, and trial runs the disc's own programs under
Wine in a fresh prefix and reports what they did.")
include(CPack)
