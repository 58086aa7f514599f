# What `cmake --install` puts where, and the .deb that cpack makes of it: the programs, the window's
# desktop entry and icon (the udev rules install themselves where they are defined).
include(GNUInstallDirs)

install(TARGETS kelvo-fwupd-cli kelvo-fwbuild RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(KELVO_BUILD_QT)
    install(TARGETS kelvo-fwupd RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/kelvo-fwupd.desktop
            DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/kelvo-fwupd.svg
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/kelvo-fwupd.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/64x64/apps)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kelvo-fwupd)
set(CPACK_PACKAGE_VENDOR "KELVO")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "KELVO firmware updater: window, console updater and image builder")
set(CPACK_PACKAGE_CONTACT "KELVO firmware updater developers")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
# The run-time libraries (Qt, libusb, zlib) become dependencies through dpkg-shlibdeps. libcurl is
# loaded only when a download is made, so dpkg-shlibdeps does not see it: it is named here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libcurl4")
include(CPack)
