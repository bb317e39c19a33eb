# Installation and packages. `cmake --install <build> --prefix <dir>` lays the tool out as
# its package does; `cpack` in the build directory makes the package itself:
#   Linux:   a Debian package quillmark_<version>_<arch>.deb (the DEB generator)
#   Windows: quillmark-<version>-win64.zip (the ZIP generator, from the windows preset)
# Only the tool goes in; quillmark-sim, make-sim-image and the tests stay in the build tree.

set(QM_PACKAGING_DIR ${CMAKE_CURRENT_SOURCE_DIR}/packaging)
# The form of the --json run report, beside the README in both packages.
set(QM_REPORT_SCHEMA ${QM_PACKAGING_DIR}/quillmark-report.schema.json)

# The package carries the version the tool prints, without the "-L" of the banner.
set(QM_PACKAGE_VERSION ${PROJECT_VERSION})

set(CPACK_PACKAGE_NAME quillmark)
set(CPACK_PACKAGE_VERSION ${QM_PACKAGE_VERSION})
set(CPACK_PACKAGE_VENDOR Tolvane)
set(CPACK_PACKAGE_CONTACT "Quillmark maintainers <quillmark@tolvane.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware download tool for SATA disk drives")
set(CPACK_STRIP_FILES ON)

# Text files for a Windows user get CRLF line ends; the sources keep LF.
function(qm_write_crlf source destination)
  file(READ ${source} text)
  if(ARGC GREATER 2)
    string(CONFIGURE "${text}" text @ONLY)
  endif()
  string(REPLACE "\r\n" "\n" text "${text}")
  string(REPLACE "\n" "\r\n" text "${text}")
  file(WRITE ${destination} "${text}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
endfunction()

if(WIN32)
  # The host's strip cannot read PE files; the cross binutils' can.
  find_program(QM_MINGW_STRIP NAMES x86_64-w64-mingw32-strip)
  if(QM_MINGW_STRIP)
    set(CMAKE_STRIP ${QM_MINGW_STRIP} CACHE FILEPATH "strip for the Windows executable" FORCE)
  endif()

  set(QM_WIN_DOC ${CMAKE_BINARY_DIR}/package-doc)
  # The README names the version: @QM_PACKAGE_VERSION@ in it is replaced.
  qm_write_crlf(${QM_PACKAGING_DIR}/README-windows.txt ${QM_WIN_DOC}/README.txt CONFIGURE)
  qm_write_crlf(${QM_EULA_FILE} ${QM_WIN_DOC}/EULA.txt)
  qm_write_crlf(${QM_LGPL_FILE} ${QM_WIN_DOC}/LGPL-3.txt)

  install(TARGETS quillmark RUNTIME DESTINATION .)
  install(FILES ${QM_WIN_DOC}/README.txt ${QM_WIN_DOC}/EULA.txt ${QM_WIN_DOC}/LGPL-3.txt
                ${QM_REPORT_SCHEMA} DESTINATION .)

  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME quillmark-${QM_PACKAGE_VERSION}-win64)
else()
  include(GNUInstallDirs)

  # The packaged tool carries its C++ runtime, so it needs nothing but the C library. Not the
  # C library too: a fully static glibc program is what Debian asks packages not to ship.
  # Sanitizer builds need the shared runtimes and never become packages. The tool runs as
  # root, so its relocations are resolved at start and then made read-only (as Debian's
  # hardening flags do).
  if(NOT QM_SANITIZE)
    target_link_options(quillmark PRIVATE -static-libstdc++ -static-libgcc -Wl,-z,relro,-z,now)
  endif()

  # The manual page and the changelog are installed compressed, as Debian keeps them; -n
  # leaves the name and time out of the header so that rebuilds give the same bytes.
  set(QM_PKG_BUILD ${CMAKE_BINARY_DIR}/package-doc)
  add_custom_command(
    OUTPUT ${QM_PKG_BUILD}/quillmark.8.gz ${QM_PKG_BUILD}/changelog.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${QM_PKG_BUILD}
    COMMAND gzip -9n -c ${QM_PACKAGING_DIR}/quillmark.8 > ${QM_PKG_BUILD}/quillmark.8.gz
    COMMAND gzip -9n -c ${QM_PACKAGING_DIR}/changelog > ${QM_PKG_BUILD}/changelog.gz
    DEPENDS ${QM_PACKAGING_DIR}/quillmark.8 ${QM_PACKAGING_DIR}/changelog
    COMMENT "Compressing the manual page and the changelog")
  add_custom_target(package-doc ALL DEPENDS ${QM_PKG_BUILD}/quillmark.8.gz
                                            ${QM_PKG_BUILD}/changelog.gz)

  # The copyright file quotes the agreement in full, taken from its one source: every line
  # indented by one blank, an empty line written as " .".
  file(READ ${QM_EULA_FILE} QM_EULA_DEP5)
  string(REGEX REPLACE "\n+$" "" QM_EULA_DEP5 "${QM_EULA_DEP5}")
  string(REPLACE "\n" "\n " QM_EULA_DEP5 " ${QM_EULA_DEP5}")
  # Twice, for empty lines that follow each other.
  string(REPLACE "\n \n" "\n .\n" QM_EULA_DEP5 "${QM_EULA_DEP5}")
  string(REPLACE "\n \n" "\n .\n" QM_EULA_DEP5 "${QM_EULA_DEP5}")
  configure_file(${QM_PACKAGING_DIR}/copyright.in ${QM_PKG_BUILD}/copyright @ONLY)

  set(QM_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/quillmark)
  install(TARGETS quillmark RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
  install(FILES ${QM_PKG_BUILD}/quillmark.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
  install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/README.md ${QM_PKG_BUILD}/copyright
                ${QM_PKG_BUILD}/changelog.gz ${QM_EULA_FILE} ${QM_REPORT_SCHEMA}
          DESTINATION ${QM_DOCDIR})
  install(FILES ${QM_LGPL_FILE} DESTINATION ${QM_DOCDIR} RENAME LGPL-3)

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION admin)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # Dependencies as dpkg-shlibdeps reads them from the binary.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # The extended description; CPack puts the summary line before it.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "Quillmark downloads a firmware image into a SATA disk drive with the ATA
DOWNLOAD MICROCODE command and, on request, activates it. It reaches the
drive by SCSI/ATA Translation pass-through over the Linux SCSI generic
interface, identifies it, refuses a drive whose ATA security is locked,
sends the image in segmented, deferred or immediate mode with retries, and
ends with an exit code that tells what happened, so that scripts and
configuration-management tools can act on it.")
  # Directories the package shares with every other package belong to root and are not
  # group-writable, whatever the umask of the build was.
  set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
      OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endif()

include(CPack)
