# The Debian packages, built with `cpack -G DEB` from the install components (cmake/Install.cmake):
#   tarvik      the command-line program; depends on what it links (no Qt)
#   tarvik-gui  the desktop window; depends on tarvik of the same version and, through its module,
#               on the Qt libraries
#   tarvik-mta  /usr/sbin/sendmail for the programs that send mail through it; a mail transport
#               agent in Debian's sense, so it takes the place of any other one
# Dependencies come from dpkg-shlibdeps on the files packaged, never from a hand list.
# scripts/build-packages.sh builds both from a clean tree.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarvik)
set(CPACK_PACKAGE_VENDOR "The Tarvik developers")
set(CPACK_PACKAGE_CONTACT "Tarvik developers <tarvik@example.org>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL tarvik tarvik-mta)
if(TARGET tarvik_window)
  list(APPEND CPACK_COMPONENTS_ALL tarvik-gui)
endif()

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${TARVIK_PACKAGE_REVISION})
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_TARVIK_PACKAGE_NAME tarvik)
set(CPACK_DEBIAN_TARVIK_DESCRIPTION "small mail sender for scripts and the desktop
Tarvik sends one plain-text mail message, with files attached, through an
SMTP server. Scripts drive it from the command line: options fill the
sender, recipients, subject and text, send at once, retry until sent,
delete files after a successful send and report the outcome through the
exit status. It keeps an address book of nicks and saves drafts.
.
This package holds the command-line program, its manual page and bash
completion. The desktop window is in the package tarvik-gui.")

set(CPACK_DEBIAN_TARVIK-GUI_PACKAGE_NAME tarvik-gui)
set(CPACK_DEBIAN_TARVIK-GUI_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_TARVIK-GUI_PACKAGE_DEPENDS "tarvik (= ${TARVIK_PACKAGE_VERSION})")
set(CPACK_DEBIAN_TARVIK-GUI_DESCRIPTION "small mail sender for scripts and the desktop - window
Tarvik sends one plain-text mail message, with files attached, through an
SMTP server.
.
This package holds the desktop window (Qt 6), its menu entry and its icon.
Without it, tarvik runs in scripting mode only.")

set(CPACK_DEBIAN_TARVIK-MTA_PACKAGE_NAME tarvik-mta)
set(CPACK_DEBIAN_TARVIK-MTA_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_TARVIK-MTA_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_TARVIK-MTA_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_TARVIK-MTA_PACKAGE_DEPENDS "tarvik (= ${TARVIK_PACKAGE_VERSION})")
set(CPACK_DEBIAN_TARVIK-MTA_PACKAGE_PROVIDES mail-transport-agent)
set(CPACK_DEBIAN_TARVIK-MTA_PACKAGE_CONFLICTS mail-transport-agent)
set(CPACK_DEBIAN_TARVIK-MTA_PACKAGE_REPLACES mail-transport-agent)
set(CPACK_DEBIAN_TARVIK-MTA_DESCRIPTION "small mail sender for scripts and the desktop - sendmail
Tarvik sends one plain-text mail message, with files attached, through an
SMTP server.
.
This package makes Tarvik the system's sendmail: /usr/sbin/sendmail starts
its sendmail-compatible mode, which sends a finished message from standard
input through the server of Tarvik's settings. Programs that send mail
(git send-email, mailx, cron) then deliver through that server. Tarvik
delivers nothing locally and keeps no queue.")

include(CPack)
