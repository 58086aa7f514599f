# What `cmake --install` puts where, and the .deb that cpack makes of it: the programs and their
# manual pages, the window's desktop entry and icon, the package's changelog and copyright (the udev
# rules install themselves where they are defined).
include(GNUInstallDirs)

set(KELVO_PACKAGED_PROGRAMS kelvo-fwupd-cli kelvo-fwbuild kelvo-trace)
if(KELVO_BUILD_QT)
    list(APPEND KELVO_PACKAGED_PROGRAMS kelvo-fwupd)
endif()
install(TARGETS ${KELVO_PACKAGED_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(KELVO_BUILD_QT)
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/kelvo-fwupd.desktop
            DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/kelvo-fwupd.svg
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/kelvo-fwupd.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/64x64/apps)
endif()

find_program(KELVO_GZIP gzip REQUIRED)
# Debian's files are compressed the way lintian asks: highest compression, no name or time stamp.
set(KELVO_DOC_DIR ${CMAKE_CURRENT_BINARY_DIR}/doc)
set(KELVO_CHANGELOG ${KELVO_DOC_DIR}/changelog.gz)
add_custom_command(OUTPUT ${KELVO_CHANGELOG}
    COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/packaging/debian/changelog ${KELVO_DOC_DIR}/changelog
    COMMAND ${KELVO_GZIP} -9nf ${KELVO_DOC_DIR}/changelog
    DEPENDS ${PROJECT_SOURCE_DIR}/packaging/debian/changelog
    COMMENT "Compressing the package's changelog"
    VERBATIM)
add_custom_target(kelvo_changelog ALL DEPENDS ${KELVO_CHANGELOG})
# The version has no Debian revision (the package is native), so its changelog is changelog.gz.
install(FILES ${KELVO_CHANGELOG} ${PROJECT_SOURCE_DIR}/packaging/debian/copyright
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/kelvo-fwupd)

# Each program's manual page, made from its --help by help2man; without help2man there are none.
find_program(KELVO_HELP2MAN help2man)
if(KELVO_HELP2MAN)
    set(KELVO_MAN_DIR ${CMAKE_CURRENT_BINARY_DIR}/man)
    set(KELVO_MAN_NAME_kelvo-fwupd-cli "update the firmware of KELVO USB devices in a terminal")
    set(KELVO_MAN_NAME_kelvo-fwbuild "build and inspect KELVO firmware images and collections")
    set(KELVO_MAN_NAME_kelvo-trace "record aiming points, draw target faces and score hits")
    set(KELVO_MAN_NAME_kelvo-fwupd "update the firmware of KELVO USB devices in a window")
    set(KELVO_MAN_PAGES)
    foreach(program IN LISTS KELVO_PACKAGED_PROGRAMS)
        set(page ${KELVO_MAN_DIR}/${program}.1)
        # The window answers --help and --version without a display; the offscreen platform keeps
        # Qt from looking for one all the same.
        add_custom_command(OUTPUT ${page}.gz
            COMMAND ${CMAKE_COMMAND} -E make_directory ${KELVO_MAN_DIR}
            COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen
                    ${KELVO_HELP2MAN} --no-info --version-string=${PROJECT_VERSION}
                    "--name=${KELVO_MAN_NAME_${program}}" --output=${page} $<TARGET_FILE:${program}>
            COMMAND ${KELVO_GZIP} -9nf ${page}
            DEPENDS ${program}
            COMMENT "Making the manual page of ${program}"
            VERBATIM)
        list(APPEND KELVO_MAN_PAGES ${page}.gz)
    endforeach()
    add_custom_target(kelvo_man_pages ALL DEPENDS ${KELVO_MAN_PAGES})
    install(FILES ${KELVO_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kelvo-fwupd)
set(CPACK_PACKAGE_VENDOR "KELVO")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "KELVO firmware updater: window, console updater and image builder")
set(CPACK_PACKAGE_DESCRIPTION [=[
Finds the KELVO USB measurement devices as they are plugged in (aiming
sensors, pulse sensors, trigger controllers and target controllers), picks
the firmware image that fits each one, flashes it through the device's
bootloader and puts the device's calibration back afterwards. An update cut
short is taken up again when the device comes back.
.
The package holds the updater's window (kelvo-fwupd), the console updater
(kelvo-fwupd-cli), the image tool (kelvo-fwbuild), the aiming tool
(kelvo-trace) and the udev rules that let the user at the seat open the
devices.]=])
set(CPACK_PACKAGE_CONTACT "KELVO firmware updater developers <fwupd@kelvo.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_STRIP_FILES ON)
# The run-time libraries (Qt, libusb, zlib) become dependencies through dpkg-shlibdeps. libcurl is
# loaded only when a download is made, so dpkg-shlibdeps does not see it: it is named here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libcurl4")
include(CPack)
