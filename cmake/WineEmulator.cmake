# Windows programs cross-built on a Linux host run under Wine: CTest, the test discovery and the
# build steps that run a program of the project (the sample generator) go through a wrapper that
# gives Wine a prefix inside the build tree and keeps it quiet, windowless and time-limited.
find_program(ZEL_WINE NAMES wine64 wine PATHS /usr/lib/wine /usr/lib64/wine
  DOC "Wine, to run the cross-built Windows programs")
find_program(ZEL_WINESERVER NAMES wineserver wineserver64 PATHS /usr/lib/wine /usr/lib64/wine
  DOC "Wine's server, kept running between the programs of a test run")
set(ZEL_WINE_TIMEOUT 600 CACHE STRING "Seconds after which one program under Wine is stopped")
if(NOT ZEL_WINE OR NOT ZEL_WINESERVER)
  message(STATUS "Wine not found: the Windows programs can be built but not run here "
                 "(Debian: apt-get install wine64)")
  return()
endif()
set(ZEL_WINE_PREFIX ${CMAKE_BINARY_DIR}/wine)
configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run.sh
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ
                   WORLD_EXECUTE
  @ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run.sh)
message(STATUS "Windows programs run under Wine: ${ZEL_WINE} (prefix ${ZEL_WINE_PREFIX})")
