# A Debian package of the installed tree: `cmake --build build --target package`
# (or `cd build && cpack -G DEB`) writes qor-connect_<version>_<arch>.deb.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qor-connect)
set(CPACK_PACKAGE_VENDOR "Qor Connect")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Qor Connect VPN client: desktop application and qorctl")
set(CPACK_PACKAGE_DESCRIPTION "Sign in with the messenger login bot or a one-time e-mail code, press the globe, and a packet tunnel comes up on the main channel, the Tavrin cascade or the reserve channel. Includes the desktop application qor-connect, the command-line front end qorctl and the tunnel service qor-connectd (systemd, D-Bus, polkit), which runs the reserve channel on userspace WireGuard.")
set(CPACK_PACKAGE_INSTALL_DIRECTORY qor-connect)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Qor Connect maintainers <maintainers@example.com>")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://example.com/qor-connect")
# Shared libraries are found by dpkg-shlibdeps; the QML modules the screens import
# are loaded at run time and named here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "qml6-module-qtquick, qml6-module-qtquick-templates, qml6-module-qtquick-window, qml6-module-qtqml-workerscript, qt6-qpa-plugins, dbus, polkitd | policykit-1, iproute2, wireguard-go, nftables, v2ray | xray")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "wireguard-tools, systemd-resolved")
# Reload the bus and systemd so the service is found at once after installing.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/cmake/debian/postinst ${CMAKE_SOURCE_DIR}/cmake/debian/prerm)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "gnome-keyring | kwalletmanager, xdg-desktop-portal")
include(CPack)
