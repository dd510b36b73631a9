# Install rules, the orvane-flash man page and bash completion, and the
# Debian package (cpack -G DEB). Native Linux builds only: a Windows build
# ships bare .exe files.
if(WIN32 OR CMAKE_CROSSCOMPILING)
  return()
endif()

include(GNUInstallDirs)

# The emulator and the image tool go along so the tool can be tried without
# a scanner.
install(TARGETS orvane-flash orvane-bootsim orvane-mkimage RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET orvane-upgrade)
  install(TARGETS orvane-upgrade RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

install(FILES ${CMAKE_SOURCE_DIR}/scripts/orvane-flash.bash-completion
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME orvane-flash)

# The man page comes from the program's own help, so it cannot fall behind
# the options. Without help2man the build goes on without it; a sanitized
# build is never packaged, so a sanitizer report cannot fail it here.
find_program(ORVANE_HELP2MAN help2man)
find_program(ORVANE_GZIP gzip)
if(ORVANE_SANITIZE OR ORVANE_TSAN)
  message(STATUS "sanitized build: no man page")
elseif(ORVANE_HELP2MAN AND ORVANE_GZIP)
  set(man_dir ${CMAKE_BINARY_DIR}/man)
  set(man_page ${man_dir}/orvane-flash.1)
  add_custom_command(
    OUTPUT ${man_page} ${man_page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${man_dir}
    COMMAND sh ${CMAKE_SOURCE_DIR}/docs/man-commands.sh $<TARGET_FILE:orvane-flash>
            ${man_dir}/commands.h2m
    COMMAND ${ORVANE_HELP2MAN} --no-info --section=1
            "--name=upgrade the firmware of an Orvane 5800 imager over a serial line"
            --include=${man_dir}/commands.h2m --include=${CMAKE_SOURCE_DIR}/docs/orvane-flash.h2m
            --output=${man_page} $<TARGET_FILE:orvane-flash>
    # Debian's way: best compression, no name or time stamp in the header.
    COMMAND ${ORVANE_GZIP} -9nf -k ${man_page}
    DEPENDS orvane-flash ${CMAKE_SOURCE_DIR}/docs/man-commands.sh
            ${CMAKE_SOURCE_DIR}/docs/orvane-flash.h2m
    COMMENT "man page for orvane-flash"
    VERBATIM)
  add_custom_target(orvane_man ALL DEPENDS ${man_page} ${man_page}.gz)
  install(FILES ${man_page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  message(WARNING "help2man or gzip not found: no man page for orvane-flash")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orvane-upgrade-utility)
set(CPACK_PACKAGE_VENDOR "Orvane")
set(CPACK_PACKAGE_CONTACT "Orvane tools team <tools@orvane.invalid>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware upgrade utility for Orvane 5800 imagers")
set(CPACK_PACKAGE_DESCRIPTION
    "Writes new firmware (.bin) or fonts (.fon) into an Orvane 5800 handheld imager
through its boot-loader console over a serial line: orvane-flash on the command
line and orvane-upgrade, a Qt dialog. orvane-bootsim (an emulated scanner on a
pseudo-terminal) and orvane-mkimage (a test image tool) let it be tried without
a scanner.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Debian ships stripped programs.
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Orvane tools team <tools@orvane.invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Qt, libstdc++ and libc dependencies as dpkg-shlibdeps finds them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS bash-completion)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/")
include(CPack)
