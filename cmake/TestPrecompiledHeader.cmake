# One precompiled header per build for every GoogleTest program.
#
# Parsing gtest.h and the standard headers it pulls in is about 1.2 s of CPU
# in every test source, more than half of a typical test's compile; the
# programs share one header compiled once instead. Which programs those are
# follows from their links (anything that reaches GoogleTest, directly or
# through a helper library), so a new test program or source needs nothing
# here. Only executables share it: GCC refuses a header built with -fPIE in
# a -fPIC source, and CMake's -Winvalid-pch says so in the build log.
#
# qrv_share_test_pch(<header>...): builds the headers once as the target
# qrv_test_pch and makes every GoogleTest executable of the project reuse it.

# Sets <out> to TRUE when <target> links GoogleTest, directly or transitively.
function(qrv_links_gtest target out)
  set(${out} FALSE PARENT_SCOPE)
  get_target_property(type ${target} TYPE)
  set(property LINK_LIBRARIES)
  if(type STREQUAL "INTERFACE_LIBRARY")
    set(property INTERFACE_LINK_LIBRARIES)
  endif()
  get_target_property(links ${target} ${property})
  foreach(link IN LISTS links)
    if(link MATCHES "^(GTest::(gtest|gtest_main|GTest|Main)|gtest|gtest_main)$")
      set(${out} TRUE PARENT_SCOPE)
      return()
    endif()
    if(TARGET "${link}")
      get_target_property(imported ${link} IMPORTED)
      if(NOT imported)
        qrv_links_gtest(${link} found)
        if(found)
          set(${out} TRUE PARENT_SCOPE)
          return()
        endif()
      endif()
    endif()
  endforeach()
endfunction()

# Appends to <out> the targets defined in <dir> and below.
function(qrv_targets_below dir out)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(subdir IN LISTS subdirs)
    qrv_targets_below(${subdir} below)
    list(APPEND targets ${below})
  endforeach()
  set(${out} ${targets} PARENT_SCOPE)
endfunction()

function(qrv_share_test_pch)
  # The owner is an executable like its users, so that the code model flags
  # match; it is built, never run.
  set(source ${CMAKE_CURRENT_BINARY_DIR}/qrv_test_pch.cpp)
  file(WRITE ${source} "int main() { return 0; }\n")
  add_executable(qrv_test_pch EXCLUDE_FROM_ALL ${source})
  if(TARGET GTest::gtest)
    target_link_libraries(qrv_test_pch PRIVATE GTest::gtest)
  else()
    target_link_libraries(qrv_test_pch PRIVATE gtest)  # built from source for win32
  endif()
  target_precompile_headers(qrv_test_pch PRIVATE ${ARGN})
  qrv_targets_below(${PROJECT_SOURCE_DIR} targets)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "EXECUTABLE" AND NOT target STREQUAL "qrv_test_pch")
      qrv_links_gtest(${target} uses_gtest)
      if(uses_gtest)
        target_precompile_headers(${target} REUSE_FROM qrv_test_pch)
      endif()
    endif()
  endforeach()
endfunction()
