# The fuzz targets as ordinary programs (fuzz/replay_main.cpp instead of libFuzzer), built with
# the test build's compiler and sanitizers; every committed corpus file becomes one CTest test
# named fuzz/<target>/<file>, so the test command replays them on every build.
# The one header of clang's that a target uses, copied alone (clang's include folder as a whole
# does not suit g++).
file(GLOB ZEL_FUZZED_DATA_PROVIDER
  /usr/lib/llvm-*/lib/clang/*/include/fuzzer/FuzzedDataProvider.h
  /usr/lib/clang/*/include/fuzzer/FuzzedDataProvider.h)
set(ZEL_FUZZED_DATA_PROVIDER_DIR "")
if(ZEL_FUZZED_DATA_PROVIDER)
  list(GET ZEL_FUZZED_DATA_PROVIDER 0 header)
  set(ZEL_FUZZED_DATA_PROVIDER_DIR ${CMAKE_BINARY_DIR}/fuzz_include)
  configure_file(${header} ${ZEL_FUZZED_DATA_PROVIDER_DIR}/fuzzer/FuzzedDataProvider.h COPYONLY)
endif()
file(GLOB ZEL_FUZZ_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/fuzz_*.cpp)
foreach(source IN LISTS ZEL_FUZZ_SOURCES)
  get_filename_component(name ${source} NAME_WE)
  file(READ ${source} text)
  if(text MATCHES "FuzzedDataProvider" AND NOT ZEL_FUZZED_DATA_PROVIDER_DIR)
    message(STATUS "Fuzz replay: ${name} skipped (no fuzzer/FuzzedDataProvider.h)")
    continue()
  endif()
  add_executable(${name}_replay ${source} ${CMAKE_CURRENT_LIST_DIR}/replay_main.cpp)
  # The COLMAP readers live in a module of their own.
  target_link_libraries(${name}_replay PRIVATE zelcore zelinterop)
  if(ZEL_FUZZED_DATA_PROVIDER_DIR)
    target_include_directories(${name}_replay SYSTEM PRIVATE ${ZEL_FUZZED_DATA_PROVIDER_DIR})
  endif()
  file(GLOB inputs CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/corpus/${name}/*)
  foreach(input IN LISTS inputs)
    get_filename_component(file ${input} NAME)
    add_test(NAME fuzz/${name}/${file} COMMAND ${name}_replay ${input})
  endforeach()
endforeach()
