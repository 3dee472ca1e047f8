# What `cmake --install` puts where (CMAKE_INSTALL_PREFIX and DESTDIR honoured), split into the
# components that become the Debian packages (cmake/Packaging.cmake):
#   tarvik      the program, its manual page, the bash completion and the documentation
#   tarvik-gui  the window module, the .desktop file and the icon (their rules sit beside the
#               module's target), with a documentation folder of its own
#   tarvik-mta  /usr/sbin/sendmail as a link to the program (its sendmail-compatible mode) and
#               sendmail(8) as a link to its manual page; nothing else of the system changes
#               unless this one is installed
# Included after every subdirectory, so the targets exist.

set(TARVIK_PACKAGE_REVISION 1 CACHE STRING "Debian revision appended to the version of the packages")
set(TARVIK_PACKAGE_VERSION ${PROJECT_VERSION}-${TARVIK_PACKAGE_REVISION})
set(generated ${PROJECT_BINARY_DIR}/install)

# Compressed as Debian wants them (gzip -9, no name or time stamp inside).
function(tarvik_gzip source output)
  add_custom_command(OUTPUT ${output}
                     COMMAND sh -c "gzip -9n < \"$0\" > \"$1\"" ${source} ${output}
                     DEPENDS ${source} VERBATIM)
endfunction()

tarvik_gzip(${PROJECT_SOURCE_DIR}/docs/tarvik.1 ${generated}/tarvik.1.gz)
configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/changelog.in ${generated}/changelog.Debian @ONLY)
tarvik_gzip(${generated}/changelog.Debian ${generated}/changelog.Debian.gz)
# The copyright file carries the licence text of LICENSE.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)
file(READ ${PROJECT_SOURCE_DIR}/LICENSE license_text)
file(CONFIGURE OUTPUT ${generated}/copyright @ONLY
     CONTENT "Tarvik, a small mail sender for Linux.\n\nUpstream authors: the Tarvik developers.\n\n@license_text@")
add_custom_target(tarvik_install_files ALL
                  DEPENDS ${generated}/tarvik.1.gz ${generated}/changelog.Debian.gz)

install(TARGETS tarvik RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tarvik)
install(FILES ${generated}/tarvik.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tarvik)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/bash-completion/tarvik
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions COMPONENT tarvik)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${generated}/copyright ${generated}/changelog.Debian.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT tarvik)
if(TARGET tarvik_window)
  install(FILES ${generated}/copyright ${generated}/changelog.Debian.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tarvik-gui COMPONENT tarvik-gui)
endif()

# Relative links, made in the build folder and installed as links.
file(CREATE_LINK ../bin/tarvik ${generated}/sendmail SYMBOLIC)
file(CREATE_LINK ../man1/tarvik.1.gz ${generated}/sendmail.8.gz SYMBOLIC)
install(FILES ${generated}/sendmail DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT tarvik-mta)
install(FILES ${generated}/sendmail.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8
        COMPONENT tarvik-mta)
install(FILES ${generated}/copyright ${generated}/changelog.Debian.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tarvik-mta COMPONENT tarvik-mta)

# Lintian reads these notes on tags that do not apply (only where Debian packages install).
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/tarvik.lintian-overrides
          DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME tarvik COMPONENT tarvik)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/tarvik-mta.lintian-overrides
          DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME tarvik-mta
          COMPONENT tarvik-mta)
  if(TARGET tarvik_window)
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/tarvik-gui.lintian-overrides
            DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME tarvik-gui
            COMPONENT tarvik-gui)
  endif()
endif()
