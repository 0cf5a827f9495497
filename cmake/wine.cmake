# Runs the test executables of the Windows cross build under Wine. CTest starts
# each through CMAKE_CROSSCOMPILING_EMULATOR, headless, without Wine's debug
# output, in a Wine prefix of this build tree's own (made on first use). The
# fixture `wine` keeps one Wine server running for the whole test run, so that
# a test does not pay for the server's start; tests take it through
# VEXOLANT_WINE_TEST_PROPERTIES.
find_program(VEXOLANT_WINE wine REQUIRED)
set(VEXOLANT_WINEPREFIX "${CMAKE_BINARY_DIR}/wine")
set(VEXOLANT_WINE_ENV WINEPREFIX=${VEXOLANT_WINEPREFIX} WINEDEBUG=-all)
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR env ${VEXOLANT_WINE_ENV} ${VEXOLANT_WINE})
endif()

set(wine_server env ${VEXOLANT_WINE_ENV} ${PROJECT_SOURCE_DIR}/scripts/wine-server)
add_test(NAME wine.start COMMAND ${wine_server} start)
add_test(NAME wine.stop COMMAND ${wine_server} stop)
set_tests_properties(wine.start PROPERTIES FIXTURES_SETUP wine)
set_tests_properties(wine.stop PROPERTIES FIXTURES_CLEANUP wine)
set(VEXOLANT_WINE_TEST_PROPERTIES PROPERTIES FIXTURES_REQUIRED wine)
