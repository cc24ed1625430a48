# Install rules and CPack: a .deb on Linux (the command line, the box
# emulator, their manual pages and the README), a .zip on Windows (the dialog
# application, the command line and the README side by side, so that a
# technician unzips it anywhere and runs it from there).
#
# Each program is installed only when this build has its target: the emulator
# exists on Linux only, the dialog on Windows only.

set(KELVORA_PACKAGE_NAME kelvora-upgrader)
set(KELVORA_PROGRAMS kelvora-upgrader stb-emulator KelvoraUpgrader)

if(WIN32)
  # Everything at the top of the archive.
  set(kelvora_bin_dir .)
  set(kelvora_doc_dir .)
else()
  include(GNUInstallDirs)
  set(kelvora_bin_dir ${CMAKE_INSTALL_BINDIR})
  set(kelvora_doc_dir ${CMAKE_INSTALL_DATAROOTDIR}/doc/${KELVORA_PACKAGE_NAME})
endif()

foreach(program IN LISTS KELVORA_PROGRAMS)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${kelvora_bin_dir})
  endif()
endforeach()

if(EXISTS ${PROJECT_SOURCE_DIR}/README.md)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${kelvora_doc_dir})
else()
  message(WARNING "README.md is missing: the package goes out without it")
endif()

# Manual pages, section 1. The version in their footer is filled in here;
# they are compressed at build time as Debian wants them (gzip -9n: no name or
# time stamp inside, so the same page gives the same bytes on every build).
# Only for the programs this build installs.
if(NOT WIN32)
  find_program(KELVORA_GZIP gzip REQUIRED)
  set(kelvora_man_pages)
  foreach(program IN LISTS KELVORA_PROGRAMS)
    set(page ${PROJECT_SOURCE_DIR}/man/${program}.1)
    if(TARGET ${program} AND EXISTS ${page})
      set(staged ${CMAKE_BINARY_DIR}/man/${program}.1)
      configure_file(${page} ${staged} @ONLY)
      add_custom_command(
        OUTPUT ${staged}.gz
        COMMAND ${KELVORA_GZIP} -9nkf ${staged}
        DEPENDS ${staged}
        COMMENT "Compressing manual page ${program}.1"
        VERBATIM)
      list(APPEND kelvora_man_pages ${staged}.gz)
    endif()
  endforeach()
  if(kelvora_man_pages)
    add_custom_target(kelvora_man_pages ALL DEPENDS ${kelvora_man_pages})
    install(FILES ${kelvora_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
endif()

# Everything the packages hold, so that a packaging run can build just that:
# installing (and so CPack) does not build the whole tree first, test suites
# included. Build kelvora_package_contents, or everything, before installing.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
add_custom_target(kelvora_package_contents)
foreach(program IN LISTS KELVORA_PROGRAMS)
  if(TARGET ${program})
    add_dependencies(kelvora_package_contents ${program})
  endif()
endforeach()
if(TARGET kelvora_man_pages)
  add_dependencies(kelvora_package_contents kelvora_man_pages)
endif()

# CPack
set(CPACK_PACKAGE_NAME ${KELVORA_PACKAGE_NAME})
set(CPACK_PACKAGE_VENDOR "Kelvora")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "KelvoraUpgrader developers <upgrader@kelvora.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "writes a firmware image into a set-top box over its serial port")
set(CPACK_PACKAGE_DESCRIPTION
  "kelvora-upgrader catches the set-top box's boot loader on its service serial\n"
  "port, sends the firmware image as XMODEM-1K with CRC-16 and reports the\n"
  "loader's verdict. stb-emulator plays the boot loader on a pseudo-terminal for\n"
  "dry runs and tests.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CHECKSUM SHA256)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_PACKAGE_NAME ${KELVORA_PACKAGE_NAME})
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CPACK_PACKAGE_CONTACT})
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  # The programs link libc, libstdc++ and libgcc only. dpkg-shlibdeps (dpkg-dev)
  # computes the exact versions from the binaries; without it the names alone.
  find_program(KELVORA_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(KELVORA_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libgcc-s1, libstdc++6")
  endif()
endif()

include(CPack)
