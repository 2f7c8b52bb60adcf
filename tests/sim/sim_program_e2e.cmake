cmake_minimum_required(VERSION 3.25)
# Runs korrin-make-image, then korrin-sim-program on its image, and checks
# the run. Variables: MAKE_IMAGE, SIM_PROGRAM, WORK_DIR, PAYLOAD, VERSION,
# PROGRAM_ARGS (a |-list), EXPECT_STATUS, EXPECT_LINES (a |-list of lines
# the output must hold), EXPECT_CAPTURE_LINES (optional).
string(REPLACE "|" ";" PROGRAM_ARGS "${PROGRAM_ARGS}")
string(REPLACE "|" ";" EXPECT_LINES "${EXPECT_LINES}")
file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")
set(image "${WORK_DIR}/fw.bin")
set(capture "${WORK_DIR}/run.capture")

execute_process(COMMAND "${MAKE_IMAGE}" "${image}" --payload-bytes ${PAYLOAD} --version ${VERSION} --seed 11
                RESULT_VARIABLE made OUTPUT_VARIABLE made_out ERROR_VARIABLE made_err)
if(NOT made EQUAL 0)
  message(FATAL_ERROR "korrin-make-image failed (${made}):\n${made_out}${made_err}")
endif()

execute_process(COMMAND "${SIM_PROGRAM}" "${image}" --capture "${capture}" ${PROGRAM_ARGS}
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
message(STATUS "korrin-sim-program said:\n${out}${err}")
if(NOT status EQUAL EXPECT_STATUS)
  message(FATAL_ERROR "exit status ${status}, expected ${EXPECT_STATUS}")
endif()
string(REPLACE "\n" ";" lines "${out}")
foreach(expected IN LISTS EXPECT_LINES)
  if(NOT expected IN_LIST lines)
    message(FATAL_ERROR "missing output line: ${expected}")
  endif()
endforeach()
if(DEFINED EXPECT_CAPTURE_LINES)
  file(STRINGS "${capture}" captured)
  list(LENGTH captured count)
  if(NOT count EQUAL EXPECT_CAPTURE_LINES)
    message(FATAL_ERROR "capture has ${count} lines, expected ${EXPECT_CAPTURE_LINES}")
  endif()
endif()
