# Installs the allocator from a build tree into a fresh prefix, then
# configures, builds and runs a consumer project against the installed
# package. Called by CTest with BUILD_DIR, SOURCE_DIR, WORK_DIR, GENERATOR and
# CXX_COMPILER set.
file(REMOVE_RECURSE "${WORK_DIR}")
function(run_step what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE Result OUTPUT_VARIABLE Output ERROR_VARIABLE Output)
  if(NOT Result EQUAL 0)
    message(FATAL_ERROR "${what} failed (${Result}):\n${Output}")
  endif()
  set(STEP_OUTPUT "${Output}" PARENT_SCOPE)
endfunction()
run_step("install" "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${WORK_DIR}/prefix")
run_step("configure" "${CMAKE_COMMAND}" -S "${SOURCE_DIR}/tests/install/consumer" -B "${WORK_DIR}/build"
         -G "${GENERATOR}" "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}" "-DCMAKE_PREFIX_PATH=${WORK_DIR}/prefix")
run_step("build" "${CMAKE_COMMAND}" --build "${WORK_DIR}/build")
run_step("run" "${WORK_DIR}/build/consumer")
if(NOT STEP_OUTPUT MATCHES "consumer ok")
  message(FATAL_ERROR "the consumer did not report success: ${STEP_OUTPUT}")
endif()
file(REMOVE_RECURSE "${WORK_DIR}")
message(STATUS "installed package used by a consumer project")
