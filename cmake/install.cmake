# Install layout and packages (cmake --install, cpack).
#
# Linux: the program and Lumen sit together in lib/stackrise/ (the program loads Data/Lumen.lmd
# from the folder of its real path), bin/stackrise is a relative link to it, and the desktop
# entry, icons, AppStream metadata and documents go under share/. The tree is relocatable.
# Windows: stackrise.exe and Data/Lumen.lmd at the top of the folder, nothing else.
set(STACKRISE_APP_ID org.stackrise.Stackrise)
set(STACKRISE_SUMMARY "Raise towers with the mouse and tip them over")
# Lines of at most 79 characters (the package's extended description).
set(STACKRISE_DESCRIPTION "Drag the left mouse button across the window and a tower of random
height and colour climbs out of the ground in three stages. Right-click a
standing tower and it trembles, falls below the ground line and frees its
slot. At most 30 towers stand at once. Without a display the program plays
its built-in demo headless.")
set(STACKRISE_MAINTAINER "Stackrise developers <dev@stackrise.invalid>")

# Installing and packaging take the tree as built and tested: they do not build it first (a
# build relinks the program with a new build identifier, under any test that is running it).
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

if(WIN32)
  set(STACKRISE_INSTALL_APPDIR .)
else()
  set(STACKRISE_INSTALL_APPDIR lib/stackrise)
endif()
install(TARGETS stackrise RUNTIME DESTINATION ${STACKRISE_INSTALL_APPDIR})
install(TARGETS lumen LIBRARY DESTINATION ${STACKRISE_INSTALL_APPDIR}/Data
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

if(NOT WIN32)
  set(gen ${CMAKE_BINARY_DIR}/install-files)
  # A relative link, made once here and installed as a link.
  file(MAKE_DIRECTORY ${gen}/bin)
  file(CREATE_LINK ../${STACKRISE_INSTALL_APPDIR}/stackrise ${gen}/bin/stackrise SYMBOLIC)
  install(FILES ${gen}/bin/stackrise DESTINATION bin)

  configure_file(${PROJECT_SOURCE_DIR}/resources/stackrise.desktop.in
                 ${gen}/${STACKRISE_APP_ID}.desktop @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/resources/stackrise.metainfo.xml.in
                 ${gen}/${STACKRISE_APP_ID}.metainfo.xml @ONLY)
  install(FILES ${gen}/${STACKRISE_APP_ID}.desktop DESTINATION share/applications)
  install(FILES ${gen}/${STACKRISE_APP_ID}.metainfo.xml DESTINATION share/metainfo)
  # The icon at every size resources/ has (icon-N.png).
  file(GLOB icons ${PROJECT_SOURCE_DIR}/resources/icon-*.png)
  foreach(icon IN LISTS icons)
    string(REGEX REPLACE ".*icon-([0-9]+)\\.png$" "\\1" size ${icon})
    install(FILES ${icon} DESTINATION share/icons/hicolor/${size}x${size}/apps
            RENAME ${STACKRISE_APP_ID}.png)
  endforeach()

  # Documents: the manual page, and the copyright file and changelog a Debian package carries.
  string(TIMESTAMP changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
  configure_file(${PROJECT_SOURCE_DIR}/resources/changelog.in ${gen}/changelog @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/resources/copyright.in ${gen}/copyright @ONLY)
  file(ARCHIVE_CREATE OUTPUT ${gen}/changelog.gz PATHS ${gen}/changelog FORMAT raw COMPRESSION GZip
       COMPRESSION_LEVEL 9)
  configure_file(${PROJECT_SOURCE_DIR}/resources/stackrise.1.in ${gen}/stackrise.1 @ONLY)
  file(ARCHIVE_CREATE OUTPUT ${gen}/stackrise.1.gz PATHS ${gen}/stackrise.1 FORMAT raw COMPRESSION GZip
       COMPRESSION_LEVEL 9)
  install(FILES ${gen}/stackrise.1.gz DESTINATION share/man/man1)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/docs/lumen.md
                ${gen}/copyright ${gen}/changelog.gz
          DESTINATION share/doc/stackrise)
endif()

set(CPACK_PACKAGE_NAME stackrise)
set(CPACK_PACKAGE_VENDOR "Stackrise developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${STACKRISE_SUMMARY}")
set(CPACK_PACKAGE_DESCRIPTION "${STACKRISE_DESCRIPTION}")
set(CPACK_PACKAGE_CONTACT "${STACKRISE_MAINTAINER}")
if(WIN32)
  # The .zip holds the two files exactly as the Windows tests ran them (not stripped).
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
else()
  # Stripped: the unpacked .deb is what install.deb runs.
  set(CPACK_STRIP_FILES ON)
  set(CPACK_GENERATOR DEB TGZ)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # Lumen opens SDL itself when a window opens, so the library's dependency is not in its links.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libsdl2-2.0-0")
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${STACKRISE_MAINTAINER}")
endif()
include(CPack)
