# The Debian packages, one per install component: `cpack -G DEB` in a build configured with
# CMAKE_INSTALL_PREFIX=/usr (scripts/package does both, and checks each with lintian). Their
# Depends come from the shared libraries the programs actually link, through dpkg-shlibdeps.
#
# A new package: its component in CPACK_COMPONENTS_ALL, its name, summary and description below
# (and its changelog and copyright in data/CMakeLists.txt).
set(CPACK_PACKAGE_NAME orvel)
set(CPACK_PACKAGE_VENDOR "The Orvel developers")
set(CPACK_PACKAGE_CONTACT "The Orvel developers <orvel@orvel.org>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL orvel standin meet)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${ORVEL_HOMEPAGE})

# The player's programs.
set(CPACK_DEBIAN_ORVEL_PACKAGE_NAME orvel)
set(CPACK_DEBIAN_ORVEL_DESCRIPTION "networked multiplayer for the racing game Kartova
Orvel runs beside Kartova, Brenmoor's single-player racing game,
and lets up to six players race together over the network: it sends the
local car to the other players of a peer-to-peer session and puts theirs
into the game. It carries a chat in its own window and on the game's screen.")
# Qt loads its X11 platform plugin at run time, so no linked library names it.
set(CPACK_DEBIAN_ORVEL_PACKAGE_DEPENDS qt6-qpa-plugins)

# The stand-in game, for trying Orvel without Kartova.
set(CPACK_DEBIAN_STANDIN_PACKAGE_NAME orvel-standin)
set(CPACK_DEBIAN_STANDIN_DESCRIPTION "stand-in for the racing game Kartova, to try Orvel without it
kartova-standin is a small racing game whose window and memory look to
Orvel as Kartova's do, so that Orvel finds it, patches it and puts the
other players' cars into its race: start it, then orvel, and race
together without the real game. standinctl steers it from scripts.")
set(CPACK_DEBIAN_STANDIN_PACKAGE_DEPENDS qt6-qpa-plugins)
set(CPACK_DEBIAN_STANDIN_PACKAGE_SUGGESTS orvel)

# The meeting point, for whoever runs one for a group or a community.
set(CPACK_DEBIAN_MEET_PACKAGE_NAME orvel-meet)
set(CPACK_DEBIAN_MEET_DESCRIPTION "meeting point where Orvel players find each other by a code
orvel-meet lets Orvel players host a race from behind routers that cannot
be opened: a host registers its session under a short code, joiners find
it by that code, and both are introduced so that they reach each other
through their routers; where that fails, it relays their datagrams. It
runs as a sandboxed systemd service and keeps everything in memory.")
# The maintainer scripts enable and start the service through deb-systemd-helper.
set(CPACK_DEBIAN_MEET_PACKAGE_DEPENDS "init-system-helpers (>= 1.54~)")
set(CPACK_DEBIAN_MEET_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/meet/postinst ${PROJECT_SOURCE_DIR}/packaging/meet/prerm
    ${PROJECT_SOURCE_DIR}/packaging/meet/postrm)
set(CPACK_DEBIAN_MEET_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
