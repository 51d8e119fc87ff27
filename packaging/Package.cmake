# A Debian package of the player's component: `cpack -G DEB` in a build configured with
# CMAKE_INSTALL_PREFIX=/usr (scripts/package does both). Its Depends come from the shared
# libraries the programs actually link, through dpkg-shlibdeps.
set(CPACK_PACKAGE_NAME orvel)
set(CPACK_PACKAGE_VENDOR "The Orvel developers")
set(CPACK_PACKAGE_CONTACT "The Orvel developers <orvel@orvel.org>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "networked multiplayer for the racing game Kartova")
set(CPACK_PACKAGE_DESCRIPTION "Orvel runs beside Kartova, Brenmoor's single-player racing game,
and lets up to six players race together over the network: it sends the
local car to the other players of a peer-to-peer session and puts theirs
into the game. It carries a chat in its own window and on the game's screen.")
# One package of the player's component only; the stand-in game stays out of it.
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};orvel;/")
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Qt loads its X11 platform plugin at run time, so no linked library names it.
set(CPACK_DEBIAN_PACKAGE_DEPENDS qt6-qpa-plugins)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${ORVEL_HOMEPAGE})
include(CPack)
