# The Windows setup program, kelvo-fwupd-VERSION-setup.exe in the build folder, made with NSIS's
# makensis from packaging/kelvo-fwupd.nsi: the window, the command-line updater and the image builder.
find_program(KELVO_MAKENSIS makensis)
if(NOT KELVO_MAKENSIS)
    message(STATUS "makensis not found (Debian's nsis): no setup program")
    return()
endif()
set(KELVO_SETUP ${CMAKE_BINARY_DIR}/kelvo-fwupd-${PROJECT_VERSION}-setup.exe)
set(nsis_script ${PROJECT_SOURCE_DIR}/packaging/kelvo-fwupd.nsi)
add_custom_command(OUTPUT ${KELVO_SETUP}
    COMMAND ${KELVO_MAKENSIS} -V2 -DVERSION=${PROJECT_VERSION}
            -DFWUPD=$<TARGET_FILE:kelvo-fwupd> -DFWUPD_CLI=$<TARGET_FILE:kelvo-fwupd-cli>
            -DFWBUILD=$<TARGET_FILE:kelvo-fwbuild> -DICON=${CMAKE_BINARY_DIR}/app/kelvo-fwupd.ico
            -DOUTFILE=${KELVO_SETUP} ${nsis_script}
    DEPENDS kelvo-fwupd kelvo-fwupd-cli kelvo-fwbuild ${nsis_script}
    COMMENT "Making the setup program kelvo-fwupd-${PROJECT_VERSION}-setup.exe")
add_custom_target(kelvo-fwupd-setup ALL DEPENDS ${KELVO_SETUP})
