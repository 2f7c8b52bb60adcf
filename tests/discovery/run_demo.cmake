# Runs korrin-hid-demo offscreen with its fast scenario in a fresh folder and
# checks what it printed, the image it wrote and the picture it took.
#   cmake -DDEMO=<program> -DWORKDIR=<folder> -P run_demo.cmake
file(REMOVE_RECURSE "${WORKDIR}")
file(MAKE_DIRECTORY "${WORKDIR}")
set(ENV{QT_QPA_PLATFORM} offscreen)
unset(ENV{DISPLAY})
unset(ENV{WAYLAND_DISPLAY})
execute_process(
  COMMAND "${DEMO}" --fast --screenshot "${WORKDIR}/demo.png"
  WORKING_DIRECTORY "${WORKDIR}"
  RESULT_VARIABLE status
  OUTPUT_VARIABLE out
  ERROR_VARIABLE err
  TIMEOUT 120)
message("${out}")
if(NOT status EQUAL 0)
  message(FATAL_ERROR "korrin-hid-demo exited with ${status}\n${err}")
endif()

string(REPLACE "\n" ";" lines "${out}")
function(expect_count text wanted)
  set(n 0)
  foreach(line IN LISTS lines)
    if(line STREQUAL text)
      math(EXPR n "${n} + 1")
    endif()
  endforeach()
  if(NOT n EQUAL wanted)
    message(FATAL_ERROR "\"${text}\" printed ${n} times, expected ${wanted}")
  endif()
endfunction()
# Four devices of ours: three updated to the end (one of them refused by its
# bootloader), one pulled out half way.
expect_count("The device has been attached." 4)
expect_count("The device has been removed." 3)
expect_count("Update firmware successfully" 3)
expect_count("CRC check OK" 2)
expect_count("CRC check failed" 1)
expect_count("Update firmware failed" 1)
expect_count("Current Firmware Version: 1.0" 2)
expect_count("# scenario finished as expected" 1)

file(SIZE "${WORKDIR}/140806a_Tamsk_v1_0_enc.bin" imageSize)
if(NOT imageSize EQUAL 158444)
  message(FATAL_ERROR "the demo image has ${imageSize} bytes, expected 196 + 158248")
endif()
if(NOT EXISTS "${WORKDIR}/demo.png")
  message(FATAL_ERROR "no screenshot at ${WORKDIR}/demo.png")
endif()
file(READ "${WORKDIR}/demo.png" signature LIMIT 8 HEX)
if(NOT signature STREQUAL "89504e470d0a1a0a")
  message(FATAL_ERROR "${WORKDIR}/demo.png is not a PNG file")
endif()
