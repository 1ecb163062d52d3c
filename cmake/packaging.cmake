# Install rules and packages.
#
# `cmake --install <build> --prefix P` lays out
#   P/bin/fileplacer (fileplacer.exe in the Windows build)
#   P/share/doc/fileplacer/      user guide, README, examples/
# and, in the Linux build,
#   P/share/man/man1/fileplacer.1.gz
#   P/share/bash-completion/completions/fileplacer
#   P/share/doc/fileplacer/      LICENSE, copyright (the licence in Debian's
#                                machine-readable form), changelog.gz
# The Windows build puts README.txt and LICENSE.txt with CR LF line ends at
# the top of P instead of README.md, for the zip archive.
#
# CPack makes a Debian package of the Linux build and a zip archive of the
# Windows build from the same rules.

include(GNUInstallDirs)

# Directories the install makes are world-readable whatever the umask, so
# that the package holds the same modes on every machine.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(FP_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/fileplacer)

install(TARGETS fileplacer RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_SOURCE_DIR}/docs/user-guide.md DESTINATION ${FP_DOCDIR})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/examples/ DESTINATION ${FP_DOCDIR}/examples)

if(WIN32)
  configure_file(${CMAKE_SOURCE_DIR}/dist/README-windows.txt.in ${CMAKE_BINARY_DIR}/README.txt
                 @ONLY NEWLINE_STYLE CRLF)
  configure_file(${CMAKE_SOURCE_DIR}/LICENSE ${CMAKE_BINARY_DIR}/LICENSE.txt
                 @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_BINARY_DIR}/README.txt ${CMAKE_BINARY_DIR}/LICENSE.txt DESTINATION .)
else()
  # The licence as Debian's machine-readable copyright file: the MIT text
  # is what Debian calls Expat; each line of it indented, an empty line
  # written as " .".
  file(READ ${CMAKE_SOURCE_DIR}/LICENSE FP_LICENSE)
  string(REGEX REPLACE "^MIT License\n\n" "" FP_LICENSE "${FP_LICENSE}")
  string(REGEX REPLACE "\n$" "" FP_LICENSE "${FP_LICENSE}")
  string(REPLACE "\n\n" "\n.\n" FP_LICENSE "${FP_LICENSE}")
  string(REPLACE "\n" "\n " FP_LICENSE "${FP_LICENSE}")
  file(WRITE ${CMAKE_BINARY_DIR}/copyright
       "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
       "Upstream-Name: fileplacer\n"
       "\n"
       "Files: *\n"
       "Copyright: 2026 the fileplacer developers\n"
       "License: Expat\n"
       " ${FP_LICENSE}\n")
  # The manual page and the changelog compressed as Debian wants them: gzip
  # -9 without a name or time stamp, so that every build makes the same bytes.
  find_program(FP_GZIP gzip REQUIRED)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/fileplacer.1.gz
                     COMMAND ${FP_GZIP} -9nc ${CMAKE_SOURCE_DIR}/docs/fileplacer.1
                             > ${CMAKE_BINARY_DIR}/fileplacer.1.gz
                     DEPENDS ${CMAKE_SOURCE_DIR}/docs/fileplacer.1 VERBATIM)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/changelog.gz
                     COMMAND ${FP_GZIP} -9nc ${CMAKE_SOURCE_DIR}/dist/changelog
                             > ${CMAKE_BINARY_DIR}/changelog.gz
                     DEPENDS ${CMAKE_SOURCE_DIR}/dist/changelog VERBATIM)
  add_custom_target(fpcompressed ALL
                    DEPENDS ${CMAKE_BINARY_DIR}/fileplacer.1.gz ${CMAKE_BINARY_DIR}/changelog.gz)
  install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/LICENSE
                ${CMAKE_BINARY_DIR}/copyright ${CMAKE_BINARY_DIR}/changelog.gz
          DESTINATION ${FP_DOCDIR})
  install(FILES ${CMAKE_BINARY_DIR}/fileplacer.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${CMAKE_SOURCE_DIR}/dist/fileplacer.bash-completion
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions
          RENAME fileplacer)
endif()

set(CPACK_PACKAGE_NAME fileplacer)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VERSION_MAJOR ${PROJECT_VERSION_MAJOR})
set(CPACK_PACKAGE_VERSION_MINOR ${PROJECT_VERSION_MINOR})
set(CPACK_PACKAGE_VERSION_PATCH ${PROJECT_VERSION_PATCH})
set(CPACK_PACKAGE_VENDOR "fileplacer developers")
set(CPACK_PACKAGE_CONTACT "fileplacer developers <fileplacer@example.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "install a described set of files into a destination tree")
set(CPACK_PACKAGE_DESCRIPTION
    "fileplacer copies the files listed in an input file into a destination
directory. The input file names a types file that defines the file types
(install directory, suffix, mode, owner, group and flags), directories and
substitution keys. The tool finds each file in the source directories given
on the command line, copies it into place (expanding <key> references in
files of substituted types), and records what it installed in manifest.txt
so that the next run can tell what changed. In package mode it also writes
one permission script per package.")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # Depends is computed from the libraries the binary links (dpkg-shlibdeps).
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

include(CPack)
