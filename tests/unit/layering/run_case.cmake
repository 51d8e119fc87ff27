# Configures the fixture for one case and checks that the layering check lets it through, or
# stops it with the expected line.
file(REMOVE_RECURSE "${WORK}")
execute_process(
  COMMAND "${CMAKE_COMMAND}" -S "${FIXTURE}" -B "${WORK}" "-DCASE=${CASE}" "-DLAYERING=${LAYERING}"
  RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
set(text "${out}${err}")
if(EXPECTED STREQUAL "ok")
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "case ${CASE} should configure, but:\n${text}")
  endif()
else()
  string(FIND "${text}" "${EXPECTED}" at)
  if(result EQUAL 0 OR at EQUAL -1)
    message(FATAL_ERROR "case ${CASE} should stop with \"${EXPECTED}\", got ${result}:\n${text}")
  endif()
endif()
