# Installation and the Debian packages of LUM Kest.
#
#   cmake --install BUILD                     installs into the system (prefix /)
#   cmake --install BUILD --prefix STAGE      the same tree below STAGE
#   (cd BUILD && cpack)                       lumkest_*.deb and lumkest-sim_*.deb
#
# Paths are relative to the prefix, which is the file system's root:
#   opt/lumkest/lumkest, opt/lumkest/help/   the program with its help beside it
#   opt/lumkest/lumkest-cli                  the command-line twin
#   opt/lumkest/lumkest-sim                  (component sim)
#   usr/bin/lumkest -> /opt/lumkest/lumkest, usr/bin/lumkest-cli -> ...
#   usr/share/{applications,icons/hicolor,metainfo,man/man1,doc}
#   usr/share/bash-completion/completions/lumkest-cli
#   usr/share/doc/lumkest/sample/            the sample workshop (sample/)
#   lib/udev/rules.d/70-lumkest.rules
# Components: "lumkest" (package lumkest) and "sim" (package lumkest-sim,
# which needs lumkest for the help folder).

# The maker's details, as the About box shows them; the desktop id is the
# reverse of the maker's web address.
set(LUMKEST_APP_ID "com.example.korvane.LumKest")
set(LUMKEST_VENDOR "Korvane Systems Inc.")
set(LUMKEST_HOMEPAGE "https://www.korvane.example.com/")
set(LUMKEST_RELEASE_DATE "2025-06-02")
set(LUMKEST_RELEASE_DATE_RFC2822 "Mon, 02 Jun 2025 12:00:00 +0000")
set(LUMKEST_COPYRIGHT_YEARS "2005")
set(LUMKEST_ICON_SIZES 16 22 24 32 48 64 128 256)

if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
    set(CMAKE_INSTALL_PREFIX "/" CACHE PATH "Install prefix: the file system's root" FORCE)
endif()
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(LUMKEST_APPDIR "opt/lumkest")
set(pkgsrc "${CMAKE_CURRENT_SOURCE_DIR}/packaging")
set(pkgbin "${CMAKE_BINARY_DIR}/packaging")
set(CPACK_PACKAGE_CONTACT "${LUMKEST_VENDOR} <service@korvane.example.com>")

# The programs name their desktop entries (the Wayland app id).
target_compile_definitions(lumkest PRIVATE LUMKEST_DESKTOP_ID="${LUMKEST_APP_ID}")
target_compile_definitions(lumkest-sim PRIVATE LUMKEST_DESKTOP_ID="${LUMKEST_APP_ID}")

# Theme icons, rendered from the icon the program draws for its windows.
add_executable(lumkest-icons packaging/iconrender.cpp app/glyphs.cpp)
target_link_libraries(lumkest-icons PRIVATE Qt6::Widgets)  # app/glyphs.cpp draws in a widget's palette
target_include_directories(lumkest-icons PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
set(icon_files "")
foreach(size IN LISTS LUMKEST_ICON_SIZES)
    list(APPEND icon_files "${pkgbin}/icons/${size}x${size}/apps/${LUMKEST_APP_ID}.png")
endforeach()
add_custom_command(OUTPUT ${icon_files}
    COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=0
            $<TARGET_FILE:lumkest-icons> "${pkgbin}/icons" ${LUMKEST_APP_ID} ${LUMKEST_ICON_SIZES}
    DEPENDS lumkest-icons
    COMMENT "Rendering the theme icons"
    VERBATIM)

# Files that carry the version, the id or the maker's name.
configure_file(${pkgsrc}/lumkest.desktop.in ${pkgbin}/${LUMKEST_APP_ID}.desktop @ONLY)
configure_file(${pkgsrc}/lumkest-sim.desktop.in ${pkgbin}/${LUMKEST_APP_ID}.Sim.desktop @ONLY)
configure_file(${pkgsrc}/lumkest.metainfo.xml.in ${pkgbin}/${LUMKEST_APP_ID}.metainfo.xml @ONLY)
configure_file(${pkgsrc}/copyright.in ${pkgbin}/copyright @ONLY)
configure_file(${pkgsrc}/changelog.in ${pkgbin}/changelog @ONLY)

# Compressed the Debian way (gzip -9n: no name, no time stamp).
set(gz_files "${pkgbin}/changelog.gz" "${pkgbin}/lumkest.1.gz" "${pkgbin}/lumkest-cli.1.gz")
add_custom_command(OUTPUT ${gz_files}
    COMMAND sh -c "gzip -9nc changelog > changelog.gz" WORKING_DIRECTORY ${pkgbin}
    COMMAND sh -c "gzip -9nc '${pkgsrc}/lumkest.1' > lumkest.1.gz" WORKING_DIRECTORY ${pkgbin}
    COMMAND sh -c "gzip -9nc '${pkgsrc}/lumkest-cli.1' > lumkest-cli.1.gz"
            WORKING_DIRECTORY ${pkgbin}
    DEPENDS ${pkgbin}/changelog ${pkgsrc}/lumkest.1 ${pkgsrc}/lumkest-cli.1
    VERBATIM)
add_custom_target(lumkest-package-files ALL DEPENDS ${icon_files} ${gz_files})

# Links: the commands on the PATH (absolute: they cross top-level folders)
# and the second name of the manual page.
file(MAKE_DIRECTORY ${pkgbin}/links)
file(CREATE_LINK /${LUMKEST_APPDIR}/lumkest ${pkgbin}/links/lumkest SYMBOLIC)
file(CREATE_LINK /${LUMKEST_APPDIR}/lumkest-sim ${pkgbin}/links/lumkest-sim SYMBOLIC)
file(CREATE_LINK /${LUMKEST_APPDIR}/lumkest-cli ${pkgbin}/links/lumkest-cli SYMBOLIC)
file(CREATE_LINK lumkest.1.gz ${pkgbin}/links/lumkest-sim.1.gz SYMBOLIC)

# --- component lumkest: the program for a real tester ---
install(TARGETS lumkest lumkest-cli RUNTIME DESTINATION ${LUMKEST_APPDIR} COMPONENT lumkest)
if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/help/text)
    install(DIRECTORY help/text/ DESTINATION ${LUMKEST_APPDIR}/help COMPONENT lumkest
            PATTERN README.md EXCLUDE)
endif()
install(FILES ${pkgbin}/links/lumkest ${pkgbin}/links/lumkest-cli DESTINATION usr/bin
        COMPONENT lumkest)
install(FILES ${pkgsrc}/lumkest-cli.bash-completion DESTINATION usr/share/bash-completion/completions
        RENAME lumkest-cli COMPONENT lumkest)
install(FILES ${pkgbin}/${LUMKEST_APP_ID}.desktop DESTINATION usr/share/applications
        COMPONENT lumkest)
install(FILES ${pkgbin}/${LUMKEST_APP_ID}.metainfo.xml DESTINATION usr/share/metainfo
        COMPONENT lumkest)
foreach(size IN LISTS LUMKEST_ICON_SIZES)
    install(FILES "${pkgbin}/icons/${size}x${size}/apps/${LUMKEST_APP_ID}.png"
            DESTINATION usr/share/icons/hicolor/${size}x${size}/apps COMPONENT lumkest)
endforeach()
install(FILES device/70-lumkest.rules DESTINATION lib/udev/rules.d COMPONENT lumkest)
install(FILES ${pkgbin}/lumkest.1.gz ${pkgbin}/lumkest-cli.1.gz DESTINATION usr/share/man/man1
        COMPONENT lumkest)
install(FILES ${pkgbin}/copyright ${pkgbin}/changelog.gz DESTINATION usr/share/doc/lumkest
        COMPONENT lumkest)
# The sample workshop that README's "Try it in five minutes" archives.
install(DIRECTORY sample/ DESTINATION usr/share/doc/lumkest/sample COMPONENT lumkest
        PATTERN README.md EXCLUDE)
install(FILES ${pkgsrc}/lintian-overrides DESTINATION usr/share/lintian/overrides
        RENAME lumkest COMPONENT lumkest)

# --- component sim: the program with its virtual tester, for training ---
install(TARGETS lumkest-sim RUNTIME DESTINATION ${LUMKEST_APPDIR} COMPONENT sim)
install(FILES ${pkgbin}/links/lumkest-sim DESTINATION usr/bin COMPONENT sim)
install(FILES ${pkgbin}/${LUMKEST_APP_ID}.Sim.desktop DESTINATION usr/share/applications
        COMPONENT sim)
install(FILES ${pkgbin}/links/lumkest-sim.1.gz DESTINATION usr/share/man/man1 COMPONENT sim)
install(FILES ${pkgbin}/copyright ${pkgbin}/changelog.gz DESTINATION usr/share/doc/lumkest-sim
        COMPONENT sim)
install(FILES ${pkgsrc}/lintian-overrides-sim DESTINATION usr/share/lintian/overrides
        RENAME lumkest-sim COMPONENT sim)

# --- Debian packages ---
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME lumkest)
set(CPACK_PACKAGE_VENDOR "${LUMKEST_VENDOR}")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGING_INSTALL_PREFIX "/")
set(CPACK_STRIP_FILES TRUE)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL lumkest sim)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${LUMKEST_HOMEPAGE}")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)

set(CPACK_DEBIAN_LUMKEST_PACKAGE_NAME lumkest)
# Libraries come from dpkg-shlibdeps; these are loaded at run time and so
# invisible to it: Qt's X11 platform plugin, the fonts that "Arial"
# resolves to, and the two Qt SQL drivers of lumkest-cli's archive.
set(CPACK_DEBIAN_LUMKEST_PACKAGE_DEPENDS
    "qt6-qpa-plugins, fonts-liberation2, libqt6sql6-sqlite, libqt6sql6-psql")
# The completion of lumkest-cli runs on the bash-completion package's
# functions.
set(CPACK_DEBIAN_LUMKEST_PACKAGE_RECOMMENDS "bash-completion")
set(CPACK_DEBIAN_LUMKEST_PACKAGE_CONTROL_EXTRA
    "${pkgsrc}/postinst;${pkgsrc}/prerm;${pkgsrc}/postrm")
set(CPACK_DEBIAN_LUMKEST_DESCRIPTION
"download and report the results of an infusion pump tester
LUM Kest is the desktop companion of the Dosimark Kest, a hand-held tester
for infusion pumps. It finds the tester on USB, downloads the results of up
to 123 flow and occlusion tests, shows them as a list and one at a time,
sorts and selects them, saves them as text, exports them to CSV and prints
them. lumkest-cli does the download and writes the same files, PDF or JSON
from a script. A udev rule lets the user at the seat open the tester
without root.")

set(CPACK_DEBIAN_SIM_PACKAGE_NAME lumkest-sim)
set(CPACK_DEBIAN_SIM_PACKAGE_DEPENDS "lumkest (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_SIM_DESCRIPTION
"LUM Kest with a virtual tester, for training
The LUM Kest program with a virtual Dosimark Kest in place of the USB link,
and a small window to plug it in and out and choose what it holds, so that
a training room can use the program without a tester.")

include(CPack)
