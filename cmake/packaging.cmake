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

if(NOT WIN32)
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
