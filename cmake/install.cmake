# Install layout and packages (cmake --install, cpack).
#
# Linux: the program and Lumen sit together in lib/stackrise/ (the program loads Data/Lumen.lmd
# from the folder of its real path), bin/stackrise is a relative link to it, and the desktop
# entry, icons, AppStream metadata and documents go under share/. The tree is relocatable.
# Windows: stackrise.exe and Data/Lumen.lmd at the top of the folder, with README.txt and
# LICENSE.txt beside them.
# Lines of at most 79 characters (the package's extended description).
set(STACKRISE_DESCRIPTION "Drag the left mouse button across the window and a tower of random
height and colour climbs out of the ground in three stages. Right-click a
standing tower and it trembles, falls below the ground line and frees its
slot. At most 30 towers stand at once. Without a display the program plays
its built-in demo headless.")
set(STACKRISE_MAINTAINER "${STACKRISE_VENDOR} <dev@stackrise.invalid>")
# The project's home (a placeholder until it has one): the package's Homepage, the AppStream
# links and screenshot (the README's picture, docs/demo.png, under it).
set(STACKRISE_HOMEPAGE "https://stackrise.example.org/")
# The licence's text, from LICENSE, in the copyright file's form: the permission and the
# disclaimer (LICENSE less its title and copyright lines), a space before each line, blank
# lines as " .".
file(READ ${PROJECT_SOURCE_DIR}/LICENSE license_text)
string(REGEX REPLACE "^[^\n]*\n\n[^\n]*\n\n" "" license_text "${license_text}")
string(STRIP "${license_text}" license_text)
string(REPLACE "\n\n" "\n.\n" license_text "${license_text}")
string(REPLACE "\n" "\n " license_text "${license_text}")
set(STACKRISE_LICENSE_TEXT " ${license_text}")

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

# The release date as the Debian changelog writes it (RFC 5322, midnight UTC): its seconds since
# 1970 (days from the civil date), formatted by string(TIMESTAMP) through SOURCE_DATE_EPOCH.
string(REGEX MATCH "^([0-9]+)-0?([0-9]+)-0?([0-9]+)$" date_ok "${STACKRISE_RELEASE_DATE}")
if(NOT date_ok)
  message(FATAL_ERROR "STACKRISE_RELEASE_DATE \"${STACKRISE_RELEASE_DATE}\" is not YYYY-MM-DD")
endif()
set(y ${CMAKE_MATCH_1})
if(CMAKE_MATCH_2 LESS_EQUAL 2)
  math(EXPR y "${y} - 1")
endif()
math(EXPR doy "(153 * ((${CMAKE_MATCH_2} + 9) % 12) + 2) / 5 + ${CMAKE_MATCH_3} - 1")
math(EXPR yoe "${y} % 400")
math(EXPR days "(${y} / 400) * 146097 + ${yoe} * 365 + ${yoe} / 4 - ${yoe} / 100 + ${doy} - 719468")
math(EXPR release_epoch "${days} * 86400")
set(saved_epoch "$ENV{SOURCE_DATE_EPOCH}")
set(ENV{SOURCE_DATE_EPOCH} ${release_epoch})
string(TIMESTAMP changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
string(TIMESTAMP release_check "%Y-%m-%d" UTC)
set(ENV{SOURCE_DATE_EPOCH} "${saved_epoch}")
if(NOT release_check STREQUAL STACKRISE_RELEASE_DATE)
  message(FATAL_ERROR "STACKRISE_RELEASE_DATE ${STACKRISE_RELEASE_DATE} reads back as ${release_check}")
endif()

set(gen ${CMAKE_BINARY_DIR}/install-files)
# The user's README (not the developer's): how to start it, play it and where its files are.
if(WIN32)
  set(readme_out ${gen}/README.txt)
  set(readme_newlines CRLF)
  set(STACKRISE_README_START "Double-click stackrise.exe. Keep the folder as it came: stackrise.exe needs
Data\\Lumen.lmd beside it. From a console: stackrise.exe --help lists the options.")
  set(STACKRISE_README_MORE "stackrise.exe --help lists every option, setting and key.")
  set(STACKRISE_README_LICENSE "The whole text is in LICENSE.txt.")
else()
  set(readme_out ${gen}/README)
  set(readme_newlines UNIX)
  set(STACKRISE_README_START "Choose Stackrise in the desktop's menu of games, or run stackrise in a terminal.")
  set(STACKRISE_README_MORE "stackrise --help and the manual page (man stackrise) list every option, setting,
key and file; lumen.md beside this file is the full reference of the settings, the
input scripts and the outputs.")
  set(STACKRISE_README_LICENSE "The whole text is in the copyright file beside this one.")
endif()
# Its lines end as the platform's text files do (the values above hold line ends of their own).
configure_file(${PROJECT_SOURCE_DIR}/resources/README.user.in ${gen}/README.user @ONLY NEWLINE_STYLE UNIX)
file(READ ${gen}/README.user readme)
if(readme_newlines STREQUAL CRLF)
  string(REPLACE "\n" "\r\n" readme "${readme}")
endif()
set(written "")
if(EXISTS ${readme_out})
  file(READ ${readme_out} written)
endif()
if(NOT written STREQUAL readme)  # written only when it changes, as configure_file does
  file(WRITE ${readme_out} "${readme}")
endif()

# gzip_file(FILE): FILE.gz beside FILE, with no name or time stamp in it (reproducible).
function(gzip_file file)
  execute_process(COMMAND gzip -9nc ${file} OUTPUT_FILE ${file}.gz RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip -9n ${file} failed (${status})")
  endif()
endfunction()

if(NOT WIN32 AND CMAKE_OBJCOPY)
  # A stripped install (the packages) also drops the compilers' notes (.comment), as Debian's
  # own packaging does.
  install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
      foreach(file ${STACKRISE_INSTALL_APPDIR}/stackrise ${STACKRISE_INSTALL_APPDIR}/Data/Lumen.lmd)
        execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
                                \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/\${file}\" RESULT_VARIABLE status)
        if(NOT status EQUAL 0)
          message(FATAL_ERROR \"objcopy --remove-section=.comment \${file} failed\")
        endif()
      endforeach()
    endif()")
endif()

if(NOT WIN32)
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

  # Documents: the manual page, the user's README, and the copyright file and changelog a
  # Debian package carries; each dated by the release, not by the build.
  configure_file(${PROJECT_SOURCE_DIR}/resources/changelog.in ${gen}/changelog @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/resources/copyright.in ${gen}/copyright @ONLY)
  gzip_file(${gen}/changelog)
  configure_file(${PROJECT_SOURCE_DIR}/resources/stackrise.6.in ${gen}/stackrise.6 @ONLY)
  gzip_file(${gen}/stackrise.6)
  install(FILES ${gen}/stackrise.6.gz DESTINATION share/man/man6)
  install(FILES ${gen}/README ${PROJECT_SOURCE_DIR}/docs/lumen.md ${gen}/copyright ${gen}/changelog.gz
          DESTINATION share/doc/stackrise)
else()
  # Beside the program: the user's README and the licence, as Windows text files.
  install(FILES ${gen}/README.txt DESTINATION .)
  file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
  file(CONFIGURE OUTPUT ${gen}/LICENSE.txt CONTENT "${license}" @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${gen}/LICENSE.txt DESTINATION .)
endif()

set(CPACK_PACKAGE_NAME stackrise)
set(CPACK_PACKAGE_VENDOR "${STACKRISE_VENDOR}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${STACKRISE_SUMMARY}")
set(CPACK_PACKAGE_DESCRIPTION "${STACKRISE_DESCRIPTION}")
set(CPACK_PACKAGE_CONTACT "${STACKRISE_MAINTAINER}")
set(CPACK_PACKAGE_HOMEPAGE_URL "${STACKRISE_HOMEPAGE}")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${STACKRISE_HOMEPAGE}")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
# Stripped: the unpacked .deb is what install.deb runs, and the .zip what windows.Zip runs.
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
else()
  set(CPACK_GENERATOR DEB TGZ)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  # A graphics demo: Debian's games section would also put the program in /usr/games.
  set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # Lumen opens SDL itself when a window opens, so the library's dependency is not in its links.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libsdl2-2.0-0")
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${STACKRISE_MAINTAINER}")
endif()
include(CPack)
