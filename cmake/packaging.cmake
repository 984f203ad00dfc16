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

include(CPack)
