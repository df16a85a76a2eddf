# What `cmake --install` puts where, and the Debian package that
# `bash scripts/package` makes of it with CPack.

install(TARGETS zentavo-installer zentavo-version zentavo-passwd zentavo-pack
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# Only the programs load it, so it needs no development link and no place on
# the loader's path: the programs find it through their RUNPATH.
install(TARGETS InstallerShared
    LIBRARY DESTINATION ${ZENTAVO_PRIVATE_LIBDIR} NAMELINK_SKIP)

set(ZENTAVO_SYSTEMD_UNITDIR lib/systemd/system CACHE STRING
    "Where the systemd units go, relative to the prefix")
configure_file(packaging/systemd/zentavo-installer.service.in zentavo-installer.service @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/zentavo-installer.service
              packaging/systemd/zentavo-installer.path
    DESTINATION ${ZENTAVO_SYSTEMD_UNITDIR})

# --- Debian package ---
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zentavo-installer)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Zentavo")
set(CPACK_PACKAGE_CONTACT "Zentavo device team <device@zentavo.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Touch-screen updater of the Zentavo terminal")
set(CPACK_PACKAGE_DESCRIPTION
    "Installs an update of the Zentavo terminal application and of the device's\nsystem files from the flash disk, guarded by the administrator password,\nand starts the terminal once the update stick is pulled. Comes with\nzentavo-version, zentavo-passwd and zentavo-pack for integrators, and systemd units\n(not enabled) that start it when a stick with an update is plugged in.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)

if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64)$")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
endif()

# Libraries the programs link come from dpkg-shlibdeps; what Qt loads at run
# time (the SQLite driver, the frame-buffer platforms) and the face the forms
# are laid out for are named here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_INSTALL_PREFIX}/${ZENTAVO_PRIVATE_LIBDIR})
if(QT_VERSION_MAJOR EQUAL 6)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6sql6-sqlite, qt6-qpa-plugins, fonts-liberation2")
else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt5sql5-sqlite, fonts-liberation2")
endif()

include(CPack)
