# Windows programs of this build run by CTest under 32-bit Wine, with
# tests/windows/wine.sh as the emulator of every executable target. The
# fixtures wine_session and qrv_driver are defined in tests/windows.
set(QRV_WINE ${PROJECT_SOURCE_DIR}/tests/windows/wine.sh)
set(CMAKE_CROSSCOMPILING_EMULATOR bash ${QRV_WINE} ${CMAKE_BINARY_DIR})

# What every test that runs under Wine needs: the Wine session and the
# reference driver's service through the qrv_driver fixture (which requires
# the session), and a turn of its own with the driver, whose service every
# program loads under one name.
set(QRV_WINE_TEST_PROPERTIES FIXTURES_REQUIRED qrv_driver RESOURCE_LOCK qrv_driver TIMEOUT 120)

# qrv_wine_test(<name> <target> [args...]): a test that runs an executable
# target of this build under Wine.
function(qrv_wine_test name target)
  add_test(NAME ${name} COMMAND ${target} ${ARGN})
  set_tests_properties(${name} PROPERTIES ${QRV_WINE_TEST_PROPERTIES})
endfunction()
