# The serial layer as an installed package: `find_package(sio)` gives
# `sio::sio` (and `sio::platform` under it), the headers under include/sio
# as the source tree lays them out. The package carries the layer's own
# version, SIO_VERSION.
include(CMakePackageConfigHelpers)

set(SIO_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/sio)

install(TARGETS sio sio_platform EXPORT sioTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT development)
foreach(dir serial platform)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/${dir}/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/sio/${dir}
          COMPONENT development FILES_MATCHING PATTERN "*.h")
endforeach()
install(EXPORT sioTargets NAMESPACE sio:: DESTINATION ${SIO_CMAKE_DIR} COMPONENT development)

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/sioConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/sioConfig.cmake
                              INSTALL_DESTINATION ${SIO_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/sioConfigVersion.cmake
                                 VERSION ${SIO_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/sioConfig.cmake ${PROJECT_BINARY_DIR}/sioConfigVersion.cmake
        DESTINATION ${SIO_CMAKE_DIR} COMPONENT development)

# The same for pkg-config. The libraries are static, so the system libraries
# they need are listed with them.
if(WIN32)
  set(SIO_PC_SYSTEM_LIBS "-luser32 -ladvapi32")
else()
  set(SIO_PC_SYSTEM_LIBS "-pthread")
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/sio.pc.in ${PROJECT_BINARY_DIR}/sio.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/sio.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
        COMPONENT development)
