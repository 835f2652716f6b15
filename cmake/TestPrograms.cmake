# Build settings for every GoogleTest program of the project, found by
# their links (anything that reaches GoogleTest, directly or through a
# helper library), so that a new test program or source needs nothing here.
#
# One precompiled header per build: parsing gtest.h and the standard headers
# it pulls in is about 1.2 s of CPU in every test source, more than half of a
# typical test's compile; the programs share one header compiled once
# instead. Only executables share it: GCC refuses a header built with -fPIE
# in a -fPIC source, and CMake's -Winvalid-pch says so in the build log.
#
# Line tables only (-g1) for the test code of the sanitizer builds: the
# sanitizers' reports still name file and line, and the variable locations
# of full -g cost a third of a TSan test source's compile. The library's own
# code keeps full debug information, and the debug preset keeps it for the
# tests.
#
# qrv_tune_test_programs(<header>...): builds the headers once as the target
# qrv_test_pch and applies both to every GoogleTest target of the project.

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

function(qrv_tune_test_programs)
  if(CMAKE_CXX_FLAGS MATCHES "-fsanitize=(address|thread)")
    set(debug_info -g1)
  endif()
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
  target_compile_options(qrv_test_pch PRIVATE ${debug_info})
  target_precompile_headers(qrv_test_pch PRIVATE ${ARGN})
  qrv_targets_below(${PROJECT_SOURCE_DIR} targets)
  list(REMOVE_ITEM targets qrv_test_pch)
  foreach(target IN LISTS targets)
    qrv_links_gtest(${target} uses_gtest)
    get_target_property(type ${target} TYPE)
    if(NOT uses_gtest OR type STREQUAL "INTERFACE_LIBRARY")
      continue()
    endif()
    target_compile_options(${target} PRIVATE ${debug_info})
    if(type STREQUAL "EXECUTABLE")
      target_precompile_headers(${target} REUSE_FROM qrv_test_pch)
    endif()
  endforeach()
endfunction()
