# Fails when a source folder of the library includes a header of a layer
# above it. The layers, from the bottom: platform, diagnostics, connection,
# api; each may include only its own and lower layers.
#
#   cmake -DSOURCE_DIR=<repo>/src -P check_layers.cmake
cmake_minimum_required(VERSION 3.16)
set(layers platform diagnostics connection api)
set(violations "")
list(LENGTH layers count)
math(EXPR last "${count} - 1")
foreach(index RANGE ${last})
  list(GET layers ${index} layer)
  list(SUBLIST layers ${index} -1 above)
  list(REMOVE_AT above 0)
  file(GLOB_RECURSE sources ${SOURCE_DIR}/${layer}/*.h ${SOURCE_DIR}/${layer}/*.cpp)
  foreach(source ${sources})
    file(STRINGS ${source} includes REGEX "^#include \"[a-z_]+/")
    foreach(line ${includes})
      string(REGEX MATCH "\"([a-z_]+)/" _ "${line}")
      if(CMAKE_MATCH_1 IN_LIST above)
        file(RELATIVE_PATH name ${SOURCE_DIR} ${source})
        string(APPEND violations "  ${name}: ${line}\n")
      endif()
    endforeach()
  endforeach()
endforeach()
if(violations)
  message(FATAL_ERROR "headers included from a layer above:\n${violations}")
endif()
