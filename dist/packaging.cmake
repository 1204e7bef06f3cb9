# Debian packages of the two components, one .deb each, by `cpack -G DEB` (scripts/package.sh).
# Dependencies come from dpkg-shlibdeps over the programs; the server's maintainer scripts make
# its system user and leave the service off.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME sonavert)
set(CPACK_PACKAGE_VENDOR "Sonavert")
set(CPACK_PACKAGE_CONTACT "Sonavert developers <support@sonavert.io>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL sonavert sonavert-cloud)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${SONAVERT_BUILD_NUMBER})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://sonavert.io")

set(CPACK_DEBIAN_SONAVERT_PACKAGE_NAME sonavert)
set(CPACK_COMPONENT_SONAVERT_DESCRIPTION
  "Moves music playback between your own Linux computers\n The song playing on one computer continues on another at the same second, pushed\n from here or pulled from there, through your own sonavert-cloud server.")
# The QML views load Qt Quick's own modules, which no program links; the tray and desktop
# actions use the XDG tools.
set(CPACK_DEBIAN_SONAVERT_PACKAGE_DEPENDS
  "qml6-module-qtquick, qml6-module-qtquick-controls, qml6-module-qtquick-layouts, qml6-module-qtquick-window, qml6-module-qtquick-templates, qml6-module-qtqml-workerscript, qml6-module-qtqml-models, xdg-utils")
# shared-mime-info and desktop-file-utils turn the installed Shortcut type and its handler into
# the caches file managers and xdg-open read (through their triggers).
set(CPACK_DEBIAN_SONAVERT_PACKAGE_RECOMMENDS
  "mpv, mpv-mpris, gnome-keyring, shared-mime-info, desktop-file-utils")

set(CPACK_DEBIAN_SONAVERT-CLOUD_PACKAGE_NAME sonavert-cloud)
set(CPACK_DEBIAN_SONAVERT-CLOUD_PACKAGE_SECTION net)
set(CPACK_COMPONENT_SONAVERT-CLOUD_DESCRIPTION
  "Private cloud server for Sonavert\n Stores the devices, their presence and the handoffs of one person's Sonavert devices,\n on SQLite or PostgreSQL, over HTTP and a WebSocket push channel.")
# The SQL drivers are plugins, loaded at run time: shlibdeps cannot see them.
set(CPACK_DEBIAN_SONAVERT-CLOUD_PACKAGE_DEPENDS "adduser, libqt6sql6-sqlite")
set(CPACK_DEBIAN_SONAVERT-CLOUD_PACKAGE_SUGGESTS "libqt6sql6-psql")
set(CPACK_DEBIAN_SONAVERT-CLOUD_PACKAGE_CONTROL_EXTRA
  ${CMAKE_CURRENT_SOURCE_DIR}/debian/postinst ${CMAKE_CURRENT_SOURCE_DIR}/debian/prerm
  ${CMAKE_CURRENT_SOURCE_DIR}/debian/postrm)
set(CPACK_DEBIAN_SONAVERT-CLOUD_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
