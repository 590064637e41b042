# Desktop integration files and the Debian package.
#
# `cmake --install` puts the binary (see src/platform/qt), the desktop entry,
# the icon and the AppStream metainfo under the prefix; `cpack -G DEB` wraps the
# same tree into a .deb for the Debian release it is built on.
if(NOT ORVO_BUILD_APP)
    return()
endif()

include(GNUInstallDirs)

# The desktop entry's file name is the application id that the binary reports
# (QGuiApplication::desktopFileName) and that notifications name in their
# "desktop-entry" hint, so the three must stay equal. The AppStream component id
# is a reverse-DNS name, as appstreamcli demands; its launchable points back to
# the desktop entry.
set(ORVO_APP_ID Zandoral.Orvo)
set(ORVO_APPSTREAM_ID com.zandoral.Orvo)

install(FILES ${CMAKE_CURRENT_LIST_DIR}/${ORVO_APP_ID}.desktop
    DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/${ORVO_APPSTREAM_ID}.metainfo.xml
    DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
# The same drawing the window and the tray use from the resources.
install(FILES ${PROJECT_SOURCE_DIR}/src/platform/qt/icons/orvo-phone.svg
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
    RENAME ${ORVO_APP_ID}.svg)

set(CPACK_PACKAGE_NAME orvo)
set(CPACK_PACKAGE_VENDOR Zandoral)
set(CPACK_PACKAGE_CONTACT "ORVO developers <orvo@zandoral.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "desktop app for the Zandoral telephony service")
# Debian wants the long description in lines of under 80 characters.
set(CPACK_PACKAGE_DESCRIPTION
    "ORVO shows the web client of a Zandoral telephony instance in a window of\n"
    "its own, with a tray item that shows the softphone's status and desktop\n"
    "notifications to answer or decline incoming calls.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# dpkg-shlibdeps finds the libraries the binary links, and with them the web
# engine's helper process, which Debian's symbols file for the engine names.
# What Qt loads at run time by itself must be named here: the SVG icon engine,
# without which the window and tray icons are blank. Wayland sessions need
# Qt's Wayland plugin, and GNOME shows no tray item at all without the
# AppIndicator extension; other sessions need neither, hence recommendations.
# The icon engine's package is asked of dpkg, since releases differ: Debian 12
# ships it in libqt6svg6, Debian 13 in qt6-svg-plugins.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(ORVO_SVG_ICON_ENGINE_PACKAGE libqt6svg6)
execute_process(COMMAND dpkg-query -S "*/qt6/plugins/iconengines/libqsvgicon.so"
    OUTPUT_VARIABLE svg_owner ERROR_QUIET RESULT_VARIABLE svg_status)
if(svg_status EQUAL 0 AND svg_owner MATCHES "^([a-z0-9.+-]+)")
    set(ORVO_SVG_ICON_ENGINE_PACKAGE ${CMAKE_MATCH_1})
endif()
# libcanberra plays event sounds through ALSA unless its PulseAudio module is
# there; through PipeWire's ALSA plugin a sound stalls after its first part.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${ORVO_SVG_ICON_ENGINE_PACKAGE}, libcanberra-pulse")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-wayland, gnome-shell-extension-appindicator")

include(CPack)
