# Installation and packages. Linux: `ferrux` in bin/ and its manual page,
# gzipped as Debian ships manual pages, in share/man/man1/; `cpack` makes
# the Debian package. Windows: `ferrux.exe` (statically linked, with its
# version in a VERSIONINFO resource) and a CR LF read-me at the top of a
# .zip. The version is the project's, in one place: project() above.
include(GNUInstallDirs)

set(CPACK_PACKAGE_NAME ferrux)
set(CPACK_PACKAGE_VENDOR "ferrux maintainers")
set(CPACK_PACKAGE_CONTACT
    "ferrux maintainers <maintainers@users.noreply.c-seed-6dd593c9.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "copy one large file so that an interrupted copy resumes")
# Lines of the long description as Debian shows them (72 columns at most).
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "ferrux copies one large file into a destination directory so that an"
  "interrupted copy (a kill, a crash, a power cut, a dropped network share)"
  "continues from its last checkpoint when the same command is run again."
  "The copy is written as NAME.tmp beside a small NAME.size file that"
  "records how many bytes are safely on disk; only a complete copy, forced"
  "to disk, is renamed to NAME. Large transfers bypass the file cache.")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  enable_language(RC)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in
                 ${PROJECT_BINARY_DIR}/version.rc @ONLY)
  target_sources(ferrux PRIVATE ${PROJECT_BINARY_DIR}/version.rc)
  configure_file(${PROJECT_SOURCE_DIR}/doc/README-windows.txt
                 ${PROJECT_BINARY_DIR}/README.txt @ONLY NEWLINE_STYLE CRLF)
  install(TARGETS ferrux RUNTIME DESTINATION .)
  install(FILES ${PROJECT_BINARY_DIR}/README.txt DESTINATION .)
  set(CPACK_GENERATOR ZIP)
else()
  install(TARGETS ferrux RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # The page names its version itself, so that it reads right in the
  # source tree too; a version raised without it stops here.
  file(STRINGS ${PROJECT_SOURCE_DIR}/doc/ferrux.1 manual_title REGEX "^\\.TH ")
  if(NOT manual_title MATCHES "\"ferrux ${PROJECT_VERSION}\"")
    message(FATAL_ERROR "doc/ferrux.1 names another version than ${PROJECT_VERSION}")
  endif()
  configure_file(${PROJECT_SOURCE_DIR}/doc/ferrux.1
                 ${PROJECT_BINARY_DIR}/man/ferrux.1 COPYONLY)
  add_custom_command(
    OUTPUT ${PROJECT_BINARY_DIR}/man/ferrux.1.gz
    COMMAND gzip -9n -c ${PROJECT_BINARY_DIR}/man/ferrux.1 >
            ${PROJECT_BINARY_DIR}/man/ferrux.1.gz
    DEPENDS ${PROJECT_BINARY_DIR}/man/ferrux.1)
  add_custom_target(ferrux_manual ALL
                    DEPENDS ${PROJECT_BINARY_DIR}/man/ferrux.1.gz)
  install(FILES ${PROJECT_BINARY_DIR}/man/ferrux.1.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # dpkg-shlibdeps works out the library dependencies (libc6, libstdc++6,
  # libgcc-s1, libxxhash0) with their minimum versions from the binary
  # itself.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
include(CPack)
