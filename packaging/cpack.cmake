# The Debian package `romlift`: `cpack -G DEB` in a build tree, or scripts/package.sh.
# Included from the top level after every folder, so the install rules above are complete.

# The package carries the version the programs report (romlift --version), so dpkg -l and the
# programs agree: both come from project().
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME romlift)
set(CPACK_PACKAGE_VENDOR "Romlift developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "write firmware into VX7R operator-panel units over RS-232")
# Debian shows the long description as it stands: lines kept under 80 characters.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "Romlift sends a firmware image to a VX7R operator-panel unit over a serial"
  "line at 9600 baud, in 50-byte frames that the unit answers one by one. It"
  "finds the image for the chosen unit model in /opt/romlift/bin/drivers."
  "This package holds the Qt program romlift, the command-line tool romlift-cli"
  "for scripts and production lines (several units at once, JSON output, line"
  "traces), and vx7r-sim, a virtual unit on a pseudo-terminal for trying things"
  "out without hardware.")
# Every path in the package is absolute: /opt/romlift/bin, /usr/bin, /usr/share.
set(CPACK_PACKAGING_INSTALL_PREFIX /)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CHECKSUM SHA256)

set(ROMLIFT_PACKAGE_MAINTAINER "Romlift developers <romlift@example.org>"
  CACHE STRING "Maintainer field of the Debian package")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ROMLIFT_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# dpkg-shlibdeps reads the executables and names the Qt, C++ and C libraries they link.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The dialogs are laid out in Liberation Sans, whose letters keep the templates' texts inside their
# boxes (ui/dialog_template.h); without it they fall back to the desktop's wider sans font.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-liberation2")
# The window also needs the X11 platform plugin, loaded at run time where the linker cannot see it.
# Debian 12 ships libqxcb.so (and its xcb libraries) in libqt6gui6, which the linking already
# names; qt6-qpa-plugins there holds only the VNC and TUIO plugins, so nothing is added for it.
# On a Wayland desktop (GNOME, KDE) the window runs natively with the Wayland plugin, placed over
# its owner by the compositor; without it Qt falls back to XWayland. Recommended, not required:
# an X11 station does not need it.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-wayland")

include(CPack)
