# The project version above is the one version of the SDK. The header carries
# it as QUORVEL_VERSION_MAJOR/MINOR/PATCH so that a host copied without CMake
# still sees it; a header that disagrees stops the configure step rather than
# ship two versions.
file(STRINGS ${PROJECT_SOURCE_DIR}/include/quorvel/quorvel.h qrv_version_lines
  REGEX "^#define QUORVEL_VERSION_(MAJOR|MINOR|PATCH) ")
set(qrv_header_version "")
foreach(part MAJOR MINOR PATCH)
  foreach(line IN LISTS qrv_version_lines)
    if(line MATCHES "^#define QUORVEL_VERSION_${part} ([0-9]+)$")
      list(APPEND qrv_header_version ${CMAKE_MATCH_1})
    endif()
  endforeach()
endforeach()
list(JOIN qrv_header_version "." qrv_header_version)
if(NOT qrv_header_version VERSION_EQUAL PROJECT_VERSION)
  message(FATAL_ERROR "include/quorvel/quorvel.h declares version '${qrv_header_version}' "
    "but the project is ${PROJECT_VERSION}: update QUORVEL_VERSION_* in the header")
endif()
