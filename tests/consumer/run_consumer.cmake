# Installs the build tree into a prefix inside it, then configures, builds and runs the consumer
# project against that prefix. Variables: BUILD_DIR, SOURCE_DIR, CXX_FLAGS, CXX_COMPILER, and for
# a cross-build TOOLCHAIN_FILE, EMULATOR (the program that runs the consumer) and EXE_SUFFIX.
set(prefix ${BUILD_DIR}/consumer-install)
set(work ${BUILD_DIR}/consumer-build)
file(REMOVE_RECURSE ${prefix} ${work})

function(run_step)
  execute_process(COMMAND ${ARGV} RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "step failed (${result}): ${ARGV}")
  endif()
endfunction()

run_step(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
set(cross "")
if(TOOLCHAIN_FILE)
  # A cross-build: the same toolchain, and the installed package named directly, since the
  # toolchain restricts package searches to the target's tree.
  set(cross -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN_FILE} -Dzeldepth_DIR=${prefix}/lib/cmake/zeldepth)
endif()
# Flags only when there are some, so that the toolchain's own linker flags stay in force.
set(flags "")
if(CXX_FLAGS)
  set(flags "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${CXX_FLAGS}")
endif()
run_step(${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/consumer -B ${work}
  -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_CXX_COMPILER=${CXX_COMPILER} ${cross} ${flags})
run_step(${CMAKE_COMMAND} --build ${work})
run_step(${EMULATOR} ${work}/consumer${EXE_SUFFIX})
