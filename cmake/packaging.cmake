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
endif()

include(CPack)
