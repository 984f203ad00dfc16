# The serial layer as an installed package: `find_package(sio)` gives
# `sio::sio` (and `sio::platform` under it) and its public headers under
# include/sio, laid out as in the source tree, so a program writes
# #include <sio/serial/port/com_port.h>. The package carries the layer's own
# version, SIO_VERSION.
#
# Only the headers a program needs are installed: the component and its
# packet matchers, the dispatcher's operations, the exceptions and result
# codes, and the message loop, ticks, port list and dialog services under
# them. The device layers, threads, queues and the terminal code stay in the
# build tree. A public header includes only public headers, by a path
# relative to itself, so that it resolves in the source tree and installed
# alike; the install test compiles each one on its own.
include(CMakePackageConfigHelpers)

set(SIO_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/sio)

install(TARGETS sio sio_platform EXPORT sioTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT development)
set(SIO_PUBLIC_HEADERS
    platform/comm_types.h
    platform/error_numbers.h
    platform/host_ports.h
    platform/message_loop.h
    platform/sync.h
    platform/ui.h
    serial/dispatch/dispatcher.h
    serial/packet/data_packet.h
    serial/port/com_port.h
    serial/port/com_select.h
    serial/port/port_check.h
    serial/support/component.h
    serial/support/error_codes.h
    serial/support/error_table.h
    serial/support/exceptions.h
    serial/support/messages.h
    serial/support/method_ref.h
    serial/support/ticks.h)
# Installed because public headers need them, but not API of their own (and
# so not in the reference): the packet matchers' manager and its lock, the
# lock order, and the thread-safety annotation macros.
set(SIO_SUPPORT_HEADERS
    platform/thread_annotations.h
    serial/packet/packet_manager.h
    serial/support/lock_order.h)
foreach(header ${SIO_PUBLIC_HEADERS} ${SIO_SUPPORT_HEADERS})
  get_filename_component(dir ${header} DIRECTORY)
  install(FILES ${PROJECT_SOURCE_DIR}/${header} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/sio/${dir}
          COMPONENT development)
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
