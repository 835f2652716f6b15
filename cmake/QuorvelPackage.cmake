# The SDK that `cmake --install` lays out and cpack zips:
#   include/quorvel/quorvel.h                  the host-facing header
#   bin/QUORVEL.DLL, bin/QUORVEL.DLL.debug     (win32) stripped module, its
#   lib/libquorvel.dll.a                       debug information, import library
#   lib/quorvel.lib, lib/quorvel.def           (win32) import library for MSVC-ABI
#                                              hosts, and the .def it comes from
#   lib/libquorvel.so.1 ...                    (native) the library and the
#   lib/libqrvplatform.so                      POSIX stand-in it runs on
#   lib/cmake/quorvel/                         package config: quorvel::quorvel
# and, as the component "testkit", what a host needs to test its callbacks
# without a kernel: natively the simulated driver (quorvel::testkit) and the
# framework stand-in module (quorvel::framework_stand_in); for Windows, under
# testkit/, the reference driver qrvdrv.sys, PXCOM.dll and qrvctl.exe in bin/,
# and in include/quorvel/testkit/ the driver's control header, the test-kit
# C API qrv_testkit.h and the framework stand-in's control header.
include(CMakePackageConfigHelpers)

set(QUORVEL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/quorvel)
set(QUORVEL_TESTKIT_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/quorvel/testkit)

install(FILES ${PROJECT_SOURCE_DIR}/include/quorvel/quorvel.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/quorvel COMPONENT sdk)

if(WIN32)
  install(TARGETS quorvel quorvel_headers EXPORT quorvel-targets
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT sdk
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT sdk)
  install(FILES ${QUORVEL_MSVC_IMPLIB} ${PROJECT_SOURCE_DIR}/src/api/quorvel.def
    DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT sdk)
  # The shipped module carries no debug information; QUORVEL.DLL.debug next
  # to it holds it, and the module names that file (.gnu_debuglink) so that
  # a debugger finds it.
  install(CODE "
    set(dir \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    execute_process(COMMAND ${CMAKE_OBJCOPY} --only-keep-debug QUORVEL.DLL QUORVEL.DLL.debug
                    COMMAND_ERROR_IS_FATAL ANY WORKING_DIRECTORY \${dir})
    execute_process(COMMAND ${CMAKE_STRIP} --strip-all QUORVEL.DLL
                    COMMAND_ERROR_IS_FATAL ANY WORKING_DIRECTORY \${dir})
    execute_process(COMMAND ${CMAKE_OBJCOPY} --add-gnu-debuglink=QUORVEL.DLL.debug QUORVEL.DLL
                    COMMAND_ERROR_IS_FATAL ANY WORKING_DIRECTORY \${dir})
    message(STATUS \"Split debug information: \${dir}/QUORVEL.DLL.debug\")
  " COMPONENT sdk)
else()
  set_target_properties(qrvplatform PROPERTIES EXPORT_NAME platform)
  install(TARGETS quorvel quorvel_headers qrvplatform EXPORT quorvel-targets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT sdk NAMELINK_COMPONENT sdk)
endif()
install(EXPORT quorvel-targets NAMESPACE quorvel:: DESTINATION ${QUORVEL_CMAKE_DIR} COMPONENT sdk)

if(QUORVEL_BUILD_TESTKIT)
  if(WIN32)
    # For Windows hosts: the reference driver, the framework stand-in, the
    # control tool and the headers to drive them from a host's own tests.
    install(TARGETS qrvdrv pxcom qrvctl RUNTIME DESTINATION testkit/bin COMPONENT testkit)
    install(FILES ${PROJECT_SOURCE_DIR}/sim/kernel/qrvctl.h
      ${PROJECT_SOURCE_DIR}/tools/qrvctl/qrv_testkit.h
      ${PROJECT_SOURCE_DIR}/sim/framework/px_control.h
      DESTINATION testkit/include/quorvel/testkit COMPONENT testkit)
  else()
    set_target_properties(qrvsimdriver PROPERTIES EXPORT_NAME testkit)
    set_target_properties(pxcom PROPERTIES EXPORT_NAME framework_stand_in)
    install(TARGETS qrvsimdriver qrv_port_model pxcom EXPORT quorvel-testkit-targets
      ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT testkit
      LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT testkit)
    install(FILES ${PROJECT_SOURCE_DIR}/sim/driver/sim_driver.h
      ${PROJECT_SOURCE_DIR}/sim/driver/message.h ${PROJECT_SOURCE_DIR}/sim/driver/wire_tables.h
      DESTINATION ${QUORVEL_TESTKIT_INCLUDEDIR}/sim/driver COMPONENT testkit)
    install(FILES ${PROJECT_SOURCE_DIR}/src/platform/win32.h
      DESTINATION ${QUORVEL_TESTKIT_INCLUDEDIR}/platform COMPONENT testkit)
    install(FILES ${PROJECT_SOURCE_DIR}/src/platform/posix/device.h
      DESTINATION ${QUORVEL_TESTKIT_INCLUDEDIR}/platform/posix COMPONENT testkit)
    install(FILES ${PROJECT_SOURCE_DIR}/sim/framework/px_control.h
      DESTINATION ${QUORVEL_TESTKIT_INCLUDEDIR} COMPONENT testkit)
    install(EXPORT quorvel-testkit-targets NAMESPACE quorvel::
      DESTINATION ${QUORVEL_CMAKE_DIR} COMPONENT testkit)
  endif()
endif()

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/quorvel-config.cmake.in
  ${PROJECT_BINARY_DIR}/quorvel-config.cmake INSTALL_DESTINATION ${QUORVEL_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/quorvel-config-version.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/quorvel-config.cmake
  ${PROJECT_BINARY_DIR}/quorvel-config-version.cmake
  DESTINATION ${QUORVEL_CMAKE_DIR} COMPONENT sdk)

if(PROJECT_IS_TOP_LEVEL)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_VENDOR "Quorvel")
  if(WIN32)
    set(CPACK_PACKAGE_FILE_NAME quorvel-${PROJECT_VERSION}-win32)
  else()
    set(CPACK_PACKAGE_FILE_NAME quorvel-${PROJECT_VERSION}-linux)
  endif()
  include(CPack)
endif()
