# The Debian package: `cpack -G DEB` in a build configured with CMAKE_INSTALL_PREFIX=/usr
# (scripts/package does all of it).

set(CPACK_PACKAGE_NAME tarno-vesk)
set(CPACK_PACKAGE_VENDOR Quillmere)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Quillmere <support@quillmere.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Shop accounting and warehousing (Tarno Vesk desktop program)")
set(CPACK_PACKAGE_DESCRIPTION
"Tarno Vesk is the desktop program of the Tarno Vesk shop accounting and
warehouse application, whose pages are in Persian. It opens the application
in its own window, saves backups as dated files and keeps its settings,
backups and browser data in one folder.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)

set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Quillmere <support@quillmere.example>")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)   # tarno-vesk_<version>_<architecture>.deb
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
# The architecture is left to CPack, which asks `dpkg --print-architecture`.
# The shared libraries the program links (WebKitGTK, GTK 4, GLib, the C++ runtime) are found
# by dpkg-shlibdeps; what it cannot see is listed here: the Mesa drivers WebKit renders with,
# xdg-open for the backups folder and a font with Persian letters.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libgl1-mesa-dri, xdg-utils, fonts-noto-core")

include(CPack)
