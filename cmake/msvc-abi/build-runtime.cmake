# cmake -DOUT=<dir> -DCLANG_CL=<clang-cl> -DLIB=<llvm-lib> -DDLLTOOL=<llvm-dlltool> -DNM=<nm>
#       "-DFLAGS=<common flags>" "-DC_INCLUDES=<flags>" "-DCXX_INCLUDES=<flags>"
#       -P build-runtime.cmake
#
# Builds what the MSVC-ABI toolchain links into every program: short import
# libraries of the system DLLs (made from the symbol lists of mingw-w64's
# GNU import archives, which lld-link's /safeseh refuses as they are) and the
# start-up and support objects of this folder.
set(here ${CMAKE_CURRENT_LIST_DIR})
file(MAKE_DIRECTORY ${OUT})

function(short_import_library name dll)
  execute_process(COMMAND ${NM} /usr/i686-w64-mingw32/lib/lib${name}.a
    OUTPUT_VARIABLE symbols COMMAND_ERROR_IS_FATAL ANY)
  string(REGEX MATCHALL "[0-9a-f]+ I __imp__[^\n]+" imports "${symbols}")
  set(def "LIBRARY ${dll}\nEXPORTS\n")
  foreach(import IN LISTS imports)
    string(REGEX REPLACE "^[0-9a-f]+ I __imp__" "" import "${import}")
    string(APPEND def "${import}\n")
  endforeach()
  if(EXISTS ${here}/${name}_extra.def)
    file(STRINGS ${here}/${name}_extra.def extra REGEX "^[^;]" )
    list(FILTER extra EXCLUDE REGEX "^(LIBRARY|EXPORTS)")
    list(JOIN extra "\n" extra)
    string(APPEND def "${extra}\n")
  endif()
  file(WRITE ${OUT}/${name}.def "${def}")
  execute_process(COMMAND ${DLLTOOL} -m i386 -k -d ${OUT}/${name}.def -l ${OUT}/${name}.lib
    COMMAND_ERROR_IS_FATAL ANY)
endfunction()

foreach(name IN ITEMS kernel32 user32 advapi32 shell32 version)
  short_import_library(${name} ${name}.dll)
endforeach()
short_import_library(msvcrt msvcrt.dll)

separate_arguments(flags UNIX_COMMAND "${FLAGS}")
separate_arguments(c_includes UNIX_COMMAND "${C_INCLUDES}")
separate_arguments(cxx_includes UNIX_COMMAND "${CXX_INCLUDES}")
set(c_sources startup.c dll_startup.c crt_sections.c stdio_bridge.c)
list(TRANSFORM c_sources PREPEND ${here}/)
execute_process(COMMAND ${CLANG_CL} ${flags} ${c_includes} /c -- ${c_sources}
  WORKING_DIRECTORY ${OUT} COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${CLANG_CL} ${flags} ${cxx_includes} /EHsc /std:c++17 /c --
  ${here}/cxx_support.cpp WORKING_DIRECTORY ${OUT} COMMAND_ERROR_IS_FATAL ANY)
# One library: a link takes the start-up its entry point names and only the
# support it references.
execute_process(COMMAND ${LIB} /nologo /out:msvcabi.lib startup.obj dll_startup.obj
  crt_sections.obj stdio_bridge.obj cxx_support.obj
  WORKING_DIRECTORY ${OUT} COMMAND_ERROR_IS_FATAL ANY)
