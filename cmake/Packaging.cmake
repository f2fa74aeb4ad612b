# The Debian package, made from the build folder with `cpack -G DEB`. The version is the agent's
# own, so that the package and `kelvano-assistant --version` cannot disagree.
include(GNUInstallDirs)

file(STRINGS ${PROJECT_SOURCE_DIR}/app/AppInfo.h KELVANO_VERSION_LINE
    REGEX "kAppVersion = \"[0-9.]+\"")
string(REGEX REPLACE ".*\"([0-9.]+)\".*" "\\1" KELVANO_VERSION "${KELVANO_VERSION_LINE}")

set(KELVANO_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/kelvano-assistant)
set(KELVANO_PKG_DIR ${PROJECT_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${KELVANO_PKG_DIR})

# Debian wants the manual page and the changelog compressed without a timestamp.
find_program(KELVANO_GZIP gzip REQUIRED)
foreach(name kelvano-assistant.1 changelog)
    set(in ${PROJECT_SOURCE_DIR}/desktop/${name}.in)
    if(name STREQUAL "changelog")
        set(in ${PROJECT_SOURCE_DIR}/desktop/debian/changelog.in)
    endif()
    configure_file(${in} ${KELVANO_PKG_DIR}/${name} @ONLY)
    add_custom_command(OUTPUT ${KELVANO_PKG_DIR}/${name}.gz
        COMMAND ${KELVANO_GZIP} -9n -c ${KELVANO_PKG_DIR}/${name} > ${KELVANO_PKG_DIR}/${name}.gz
        DEPENDS ${KELVANO_PKG_DIR}/${name} VERBATIM)
    list(APPEND KELVANO_GZIPPED ${KELVANO_PKG_DIR}/${name}.gz)
endforeach()
add_custom_target(package_docs ALL DEPENDS ${KELVANO_GZIPPED})

install(FILES ${KELVANO_PKG_DIR}/kelvano-assistant.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${KELVANO_PKG_DIR}/changelog.gz ${PROJECT_SOURCE_DIR}/desktop/debian/copyright
    DESTINATION ${KELVANO_DOC_DIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kelvano-assistant)
set(CPACK_PACKAGE_VERSION ${KELVANO_VERSION})
set(CPACK_PACKAGE_VENDOR "Kelvano")
set(CPACK_PACKAGE_CONTACT "Kelvano Assistant developers <assistant@kelvano.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "remote assistance agent for X11 desktops")
set(CPACK_PACKAGE_INSTALL_DIRECTORY kelvano-assistant)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# CPack puts the summary first and indents these lines itself.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"Opening an invitation link (kvlo:// or kvlos://) asks the management
server about the session, asks the user's consent when the server wants
it, shares the primary monitor over WebRTC and lets the administrator use
the keyboard and mouse of the X session.")
# Libraries come from the binary; GStreamer's plug-ins are loaded at run time, so they are named:
# base (videoconvert, audioconvert, audioresample, opusenc, decodebin), good (ximagesrc, vp8enc,
# the RTP payloaders, rtpbin, alawenc, pulsesrc), bad (webrtcbin, DTLS, SRTP, SCTP), ugly
# (x264enc), nice (the ICE transport), x (the video sinks of incoming media); Qt's SVG plug-in
# draws the icon.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "gstreamer1.0-plugins-base (>= 1.22), gstreamer1.0-plugins-good (>= 1.22), gstreamer1.0-plugins-bad (>= 1.22), gstreamer1.0-plugins-ugly (>= 1.22), gstreamer1.0-nice, gstreamer1.0-x (>= 1.22), libqt5svg5")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/desktop/debian/postinst ${PROJECT_SOURCE_DIR}/desktop/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
