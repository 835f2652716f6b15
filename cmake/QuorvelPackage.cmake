# The SDK that `cmake --install` lays out and cpack zips:
#   include/quorvel/quorvel.h                  the host-facing header, and
#   include/quorvel/host_loader.h              its C++ loader
#   bin/QUORVEL.DLL, bin/QUORVEL.pdb           (win32) module, its PDB (a GCC
#                                              build: QUORVEL.DLL.debug instead)
#   lib/libquorvel.dll.a                       import library
#   lib/quorvel.lib, lib/quorvel.def           (win32) import library for MSVC-ABI
#                                              hosts, and the .def it comes from
#   lib/libquorvel.so.1 ...                    (native) the library and the
#   lib/libqrvplatform.so                      POSIX stand-in it runs on
#   lib/cmake/quorvel/                         package config: quorvel::quorvel
# and, as the component "testkit", in folders of its own so that copying
# bin/ or lib/ into a product never takes a stand-in along:
#   testkit/bin/                               (win32) PXCOM.dll, qrvdrv.sys, qrvctl.exe
#   testkit/lib/                               (native) PXCOM.dll, the simulated
#                                              driver; (win32) PXCOM's import library
#   testkit/include/quorvel/testkit/           px_control.h; qrvctl.h and the test-kit
#                                              C API qrv_testkit.h (win32),
#                                              the simulated driver's headers (native);
#                                              a host includes <quorvel/testkit/...>
# find_package(quorvel COMPONENTS testkit) adds quorvel::testkit (natively
# the simulated driver, on Windows the control headers) and
# quorvel::framework_stand_in (PXCOM.dll). cpack makes two zips: the SDK
# without the test kit, and the test kit alone, which unpacks over it.
include(CMakePackageConfigHelpers)

set(QUORVEL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/quorvel)
# Other install rules of the test kit (tools) use these with COMPONENT testkit.
set(QUORVEL_TESTKIT_BINDIR testkit/bin)
set(QUORVEL_TESTKIT_LIBDIR testkit/lib)
set(QUORVEL_TESTKIT_INCLUDEDIR testkit/include/quorvel/testkit)
# The test kit's headers, as a host includes them: <quorvel/testkit/...>, in
# the build tree as in an installed SDK.
set(QUORVEL_TESTKIT_STAGE ${PROJECT_BINARY_DIR}/testkit/include)

# qrv_testkit_header(<source> <folder>) installs the header <source> (from
# the source root) into the test kit's <folder> and stages it there in the
# build tree.
function(qrv_testkit_header source folder)
  get_filename_component(name ${source} NAME)
  configure_file(${PROJECT_SOURCE_DIR}/${source}
    ${QUORVEL_TESTKIT_STAGE}/quorvel/testkit/${folder}/${name} COPYONLY)
  install(FILES ${PROJECT_SOURCE_DIR}/${source}
    DESTINATION ${QUORVEL_TESTKIT_INCLUDEDIR}/${folder} COMPONENT testkit)
endfunction()

# qrv_testkit_includes(<target>...): hosts write <quorvel/testkit/x.h>; the
# kit's own headers name each other by their paths inside the kit.
function(qrv_testkit_includes)
  foreach(target IN LISTS ARGN)
    target_include_directories(${target} INTERFACE $<BUILD_INTERFACE:${QUORVEL_TESTKIT_STAGE}>
      $<INSTALL_INTERFACE:testkit/include> $<INSTALL_INTERFACE:${QUORVEL_TESTKIT_INCLUDEDIR}>)
  endforeach()
endfunction()

install(FILES ${PROJECT_SOURCE_DIR}/include/quorvel/quorvel.h
  ${PROJECT_SOURCE_DIR}/include/quorvel/host_loader.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/quorvel COMPONENT sdk)

if(WIN32)
  install(TARGETS quorvel quorvel_headers EXPORT quorvel-targets
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT sdk
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT sdk)
  install(FILES ${QUORVEL_MSVC_IMPLIB} ${PROJECT_SOURCE_DIR}/src/api/quorvel.def
    DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT sdk)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    # The module ships as built, with its PDB beside it (see src/).
    install(FILES $<TARGET_FILE_DIR:quorvel>/QUORVEL.pdb
      DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT sdk)
  else()
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
  endif()
else()
  set_target_properties(qrvplatform PROPERTIES EXPORT_NAME platform)
  install(TARGETS quorvel quorvel_headers qrvplatform EXPORT quorvel-targets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT sdk NAMELINK_COMPONENT sdk)
endif()
install(EXPORT quorvel-targets NAMESPACE quorvel:: DESTINATION ${QUORVEL_CMAKE_DIR} COMPONENT sdk)

if(QUORVEL_BUILD_TESTKIT)
  set_target_properties(pxcom PROPERTIES EXPORT_NAME framework_stand_in)
  qrv_testkit_header(sim/framework/px_control.h .)
  if(WIN32)
    # On Windows the test kit's code is the two modules; quorvel::testkit
    # carries only the include directory of the control headers.
    add_library(quorvel_testkit_headers INTERFACE)
    set_target_properties(quorvel_testkit_headers PROPERTIES EXPORT_NAME testkit)
    qrv_testkit_includes(quorvel_testkit_headers pxcom)
    install(TARGETS qrvdrv qrvctl RUNTIME DESTINATION ${QUORVEL_TESTKIT_BINDIR} COMPONENT testkit)
    install(TARGETS pxcom quorvel_testkit_headers EXPORT quorvel-testkit-targets
      RUNTIME DESTINATION ${QUORVEL_TESTKIT_BINDIR} COMPONENT testkit
      ARCHIVE DESTINATION ${QUORVEL_TESTKIT_LIBDIR} COMPONENT testkit)
    qrv_testkit_header(sim/kernel/qrvctl.h .)
    qrv_testkit_header(tools/qrvctl/qrv_testkit.h .)
  else()
    set_target_properties(qrvsimdriver PROPERTIES EXPORT_NAME testkit)
    qrv_testkit_includes(qrvsimdriver pxcom)
    install(TARGETS qrvsimdriver qrv_port_model pxcom EXPORT quorvel-testkit-targets
      ARCHIVE DESTINATION ${QUORVEL_TESTKIT_LIBDIR} COMPONENT testkit
      LIBRARY DESTINATION ${QUORVEL_TESTKIT_LIBDIR} COMPONENT testkit)
    foreach(header sim_driver.h message.h wire_tables.h)
      qrv_testkit_header(sim/driver/${header} sim/driver)
    endforeach()
    qrv_testkit_header(src/platform/win32.h platform)
    qrv_testkit_header(src/platform/posix/device.h platform/posix)
  endif()
  install(EXPORT quorvel-testkit-targets NAMESPACE quorvel::
    DESTINATION ${QUORVEL_CMAKE_DIR} COMPONENT testkit)
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
  # One zip per component: the SDK under the usual name, the test kit
  # beside it; both unpack into the same folder.
  set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL sdk testkit)
  set(CPACK_ARCHIVE_SDK_FILE_NAME ${CPACK_PACKAGE_FILE_NAME})
  set(CPACK_ARCHIVE_TESTKIT_FILE_NAME ${CPACK_PACKAGE_FILE_NAME}-testkit)
  include(CPack)
endif()
