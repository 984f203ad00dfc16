# What a user downloads, made with CPack from the project's install rules:
# the finder's programs with the README and the licence (component
# "finder"). The serial layer's headers and CMake package (component
# "development") are for programmers and stay out of these packages.
set(CPACK_PACKAGE_NAME kelvane-finder)
set(CPACK_PACKAGE_VENDOR "${KELVANE_COMPANY_NAME}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Finds OBD-II scan tools and ELM327 interpreters on the serial ports")
set(CPACK_PACKAGE_CONTACT "Kelvane Diagnostics <support@kelvane.example>")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_COMPONENTS_ALL finder)
set(CPACK_STRIP_FILES ON)

install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE
              ${PROJECT_SOURCE_DIR}/CHANGELOG.md
        DESTINATION ${KELVANE_INSTALL_DOCDIR} COMPONENT finder)

if(WIN32)
  # Windows: a ZIP to unpack anywhere (the two programs and the documents at
  # its root) and an installer made by NSIS's makensis, which runs on Linux
  # too, so both are cross-built like the programs.
  set(CPACK_GENERATOR "ZIP;NSIS")
  set(CPACK_PACKAGE_FILE_NAME "kelvane-finder-${PROJECT_VERSION}-win64")
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  # The component above alone, in one archive.
  set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)

  # The installer: per machine, into the 64-bit Program Files (it asks for
  # administrator rights), with a Start-menu entry for the window, an
  # uninstaller and an entry in the system's list of installed programs.
  set(CPACK_PACKAGE_INSTALL_DIRECTORY "Kelvane Finder")
  # A fixed key, so that installing a later version finds this one and
  # removes it first.
  set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY "Kelvane Finder")
  set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
  # A 64-bit installer for the 64-bit programs: it writes the registry's
  # 64-bit view, where Windows lists 64-bit programs, and runs where only
  # 64-bit programs do (a Wine without its 32-bit half). NSIS takes the
  # target from the top of the script: CPack's own script, with that line
  # put in after its first, found first on CPACK_MODULE_PATH.
  set(nsis_template ${CMAKE_ROOT}/Modules/Internal/CPack/NSIS.template.in)
  if(EXISTS ${nsis_template})
    file(READ ${nsis_template} nsis_script)
    string(FIND "${nsis_script}" "\n" first_line_end)
    math(EXPR rest_begin "${first_line_end} + 1")
    string(SUBSTRING "${nsis_script}" 0 ${rest_begin} nsis_head)
    string(SUBSTRING "${nsis_script}" ${rest_begin} -1 nsis_rest)
    file(WRITE ${PROJECT_BINARY_DIR}/cpack/NSIS.template.in
         "${nsis_head}Target amd64-unicode\n${nsis_rest}")
    list(PREPEND CPACK_MODULE_PATH ${PROJECT_BINARY_DIR}/cpack)
  else()
    message(WARNING "No NSIS script of CPack at ${nsis_template}: the installer will be 32-bit")
  endif()
  set(CPACK_NSIS_PACKAGE_NAME "Kelvane Finder")
  set(CPACK_NSIS_DISPLAY_NAME "Kelvane Finder")
  set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
  set(CPACK_NSIS_EXECUTABLES_DIRECTORY .)
  set(CPACK_NSIS_MENU_LINKS "kelvane-finder.exe" "Kelvane Finder")
  set(CPACK_NSIS_MUI_ICON ${PROJECT_SOURCE_DIR}/finder/icons/kelvane-finder.ico)
  set(CPACK_NSIS_MUI_UNIICON ${PROJECT_SOURCE_DIR}/finder/icons/kelvane-finder.ico)
  set(CPACK_NSIS_INSTALLED_ICON_NAME "kelvane-finder.exe")
  set(CPACK_NSIS_MUI_FINISHPAGE_RUN "kelvane-finder.exe")
  set(CPACK_NSIS_CONTACT "${CPACK_PACKAGE_CONTACT}")
  # Its one component is the program: no choice to offer.
  set(CPACK_COMPONENT_FINDER_HIDDEN ON)
  set(CPACK_COMPONENT_FINDER_REQUIRED ON)
  # (CPack puts a page to choose components in unless this is set.)
  set(CPACK_NSIS_PAGE_COMPONENTS " ")
else()
  # The date of this release, as the changelog gives it: the manual pages
  # carry it.
  set(KELVANE_RELEASE_DATE 2026-12-10)
  # Manual pages, compressed as Debian wants them (reproducibly: no name, no
  # time in the gzip header).
  set(man_pages kelvane-finder-headless elm327-sim)
  if(TARGET kelvane-finder)
    list(APPEND man_pages kelvane-finder)
  endif()
  set(man_files)
  foreach(page ${man_pages})
    set(page_out ${PROJECT_BINARY_DIR}/man/${page}.1)
    configure_file(${PROJECT_SOURCE_DIR}/docs/man/${page}.1.in ${page_out} @ONLY)
    add_custom_command(OUTPUT ${page_out}.gz COMMAND gzip -9nkf ${page_out}
                       DEPENDS ${page_out} VERBATIM)
    list(APPEND man_files ${page_out}.gz)
  endforeach()
  # What Debian asks of every package's documents: the copyright in its
  # machine-readable form and a changelog of the package.
  set(deb_changelog ${PROJECT_BINARY_DIR}/debian/changelog)
  configure_file(${PROJECT_SOURCE_DIR}/docs/debian/changelog.in ${deb_changelog} @ONLY)
  add_custom_command(OUTPUT ${deb_changelog}.gz COMMAND gzip -9nkf ${deb_changelog}
                     DEPENDS ${deb_changelog} VERBATIM)
  add_custom_target(finder_man ALL DEPENDS ${man_files} ${deb_changelog}.gz)
  install(FILES ${man_files} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT finder)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/debian/copyright ${deb_changelog}.gz
          DESTINATION ${KELVANE_INSTALL_DOCDIR} COMPONENT finder)

  # The window's menu entry and its icon, where the window is built.
  if(TARGET kelvane-finder)
    install(FILES ${PROJECT_SOURCE_DIR}/docs/kelvane-finder.desktop
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/applications COMPONENT finder)
    foreach(size 48 256)
      install(FILES ${PROJECT_SOURCE_DIR}/finder/icons/kelvane-finder-${size}.png
              DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor/${size}x${size}/apps
              RENAME kelvane-finder.png COMPONENT finder)
    endforeach()
  endif()

  # The Debian package: what it depends on is read off the libraries the
  # programs actually link (dpkg-shlibdeps).
  set(CPACK_GENERATOR DEB)
  # One package of the finder's component alone.
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://kelvane.example/finder")
  set(CPACK_PACKAGE_DESCRIPTION
      "The Kelvane Finder lists the machine's serial ports and probes each at\n115200, 38400 and 9600 baud for a Kelvane OBD-II scan tool or an\nELM327-type interpreter, and writes a coloured log. It comes as a window\n(kelvane-finder), a program for terminals and scripts with a JSON report\n(kelvane-finder-headless), and a simulated ELM327 device (elm327-sim).")
endif()

include(CPack)
