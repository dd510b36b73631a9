# Install rules and packages. A native Linux build: the programs, their man
# pages, bash completion, the dialog's menu entry and icons, the copyright
# file and changelog, and the Debian package (cpack -G DEB). A Windows build
# has rules of its own (cmake/packaging_windows.cmake).

# What every package says of itself.
set(ORVANE_PACKAGE orvane-upgrade-utility)
set(CPACK_PACKAGE_NAME ${ORVANE_PACKAGE})
set(CPACK_PACKAGE_VENDOR "Orvane")
set(CPACK_PACKAGE_CONTACT "Orvane tools team <tools@orvane.invalid>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware upgrade utility for Orvane 5800 imagers")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/packaging_windows.cmake)
  return()
endif()
if(CMAKE_CROSSCOMPILING)
  return()
endif()

include(GNUInstallDirs)
set(ORVANE_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/${ORVANE_PACKAGE})

# Documents for /usr/share/doc/orvane-upgrade-utility/, installed as they
# are: one a line, relative to the source tree.
set(ORVANE_DOC_FILES
  docs/recording-format.md
  docs/udev-rule-example.rules
)
foreach(doc ${ORVANE_DOC_FILES})
  install(FILES ${CMAKE_SOURCE_DIR}/${doc} DESTINATION ${ORVANE_DOC_DIR})
endforeach()

# The emulator and the image tool go along so the tool can be tried without
# a scanner.
install(TARGETS orvane-flash orvane-bootsim orvane-mkimage RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET orvane-upgrade)
  install(TARGETS orvane-upgrade RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # The menu entry and its icon in every size a desktop asks for.
  install(FILES ${CMAKE_SOURCE_DIR}/shell/resources/orvane-upgrade.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(DIRECTORY ${CMAKE_SOURCE_DIR}/shell/resources/hicolor DESTINATION ${CMAKE_INSTALL_DATADIR}/icons)
endif()

install(FILES ${CMAKE_SOURCE_DIR}/scripts/orvane-flash.bash-completion
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME orvane-flash)
install(FILES ${CMAKE_SOURCE_DIR}/docs/debian/copyright DESTINATION ${ORVANE_DOC_DIR})

# Compressed Debian's way: best compression, no name or time stamp in the
# header.
find_program(ORVANE_GZIP gzip)
if(ORVANE_GZIP)
  set(changelog ${CMAKE_BINARY_DIR}/doc/changelog)
  add_custom_command(
    OUTPUT ${changelog}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/docs/debian/changelog ${changelog}
    COMMAND ${ORVANE_GZIP} -9nf ${changelog}
    DEPENDS ${CMAKE_SOURCE_DIR}/docs/debian/changelog
    COMMENT "changelog.gz"
    VERBATIM)
  add_custom_target(orvane_changelog ALL DEPENDS ${changelog}.gz)
  # A package of our own making (no upstream beside it): lintian wants
  # changelog.gz, not changelog.Debian.gz.
  install(FILES ${changelog}.gz DESTINATION ${ORVANE_DOC_DIR})
else()
  message(WARNING "gzip not found: no changelog and no man pages in the package")
endif()

# Man pages. Those of the command-line programs come from their own help, so
# they cannot fall behind the options; the dialog's is written by hand. Without
# help2man the build goes on without them; a sanitized build is never
# packaged, so a sanitizer report cannot fail it here.
find_program(ORVANE_HELP2MAN help2man)
set(ORVANE_MAN_DIR ${CMAKE_BINARY_DIR}/man)
set(ORVANE_MAN_PAGES)

# orvane_help2man(PROGRAM NAME-LINE INCLUDE...): PROGRAM.1 and PROGRAM.1.gz.
# orvane-flash's COMMANDS section comes from each subcommand's --help.
function(orvane_help2man program name)
  set(page ${ORVANE_MAN_DIR}/${program}.1)
  set(options)
  set(before)
  set(depends ${program})
  if(program STREQUAL "orvane-flash")
    set(before COMMAND sh ${CMAKE_SOURCE_DIR}/docs/man-commands.sh $<TARGET_FILE:orvane-flash>
                       ${ORVANE_MAN_DIR}/commands.h2m)
    list(APPEND options --include=${ORVANE_MAN_DIR}/commands.h2m)
    list(APPEND depends ${CMAKE_SOURCE_DIR}/docs/man-commands.sh)
  endif()
  foreach(include ${ARGN})
    list(APPEND options --include=${include})
    list(APPEND depends ${include})
  endforeach()
  add_custom_command(
    OUTPUT ${page} ${page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${ORVANE_MAN_DIR}
    ${before}
    COMMAND ${ORVANE_HELP2MAN} --no-info --section=1 --name=${name} ${options} --output=${page}
            $<TARGET_FILE:${program}>
    COMMAND ${ORVANE_GZIP} -9nf -k ${page}
    DEPENDS ${depends}
    COMMENT "man page for ${program}"
    VERBATIM)
  set(ORVANE_MAN_PAGES ${ORVANE_MAN_PAGES} ${page}.gz PARENT_SCOPE)
endfunction()

if(ORVANE_SANITIZE OR ORVANE_TSAN)
  message(STATUS "sanitized build: no man pages")
elseif(ORVANE_HELP2MAN AND ORVANE_GZIP)
  orvane_help2man(orvane-flash "upgrade the firmware of an Orvane 5800 imager over a serial line"
                  ${CMAKE_SOURCE_DIR}/docs/orvane-flash.h2m)
  orvane_help2man(orvane-bootsim "emulated Orvane 5800 boot loader on a pseudo-terminal"
                  ${CMAKE_SOURCE_DIR}/docs/orvane-bootsim.h2m)
  orvane_help2man(orvane-mkimage "write test images for the Orvane 5800 upgrade utility"
                  ${CMAKE_SOURCE_DIR}/docs/orvane-mkimage.h2m)
  if(TARGET orvane-upgrade)
    set(page ${ORVANE_MAN_DIR}/orvane-upgrade.1)
    configure_file(${CMAKE_SOURCE_DIR}/docs/orvane-upgrade.1.in ${page} @ONLY)
    add_custom_command(
      OUTPUT ${page}.gz
      COMMAND ${ORVANE_GZIP} -9nf -k ${page}
      DEPENDS ${page}
      COMMENT "man page for orvane-upgrade"
      VERBATIM)
    list(APPEND ORVANE_MAN_PAGES ${page}.gz)
  endif()
  add_custom_target(orvane_man ALL DEPENDS ${ORVANE_MAN_PAGES})
  install(FILES ${ORVANE_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
elseif(ORVANE_GZIP)
  message(WARNING "help2man not found: no man pages")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_DESCRIPTION
    "Writes new firmware (.bin) or fonts (.fon) into an Orvane 5800 handheld imager
through its boot-loader console over a serial line: orvane-flash on the command
line and orvane-upgrade, a Qt dialog. orvane-bootsim (an emulated scanner on a
pseudo-terminal) and orvane-mkimage (a test image tool) let it be tried without
a scanner.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CPACK_PACKAGE_CONTACT})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Qt, libstdc++ and libc dependencies as dpkg-shlibdeps finds them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS bash-completion)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/")
include(CPack)
