# Runs one fuzz target for ctest (fuzz/CMakeLists.txt).
#   MODE=inputs: every file of INPUTS (folders or files) once;
#   MODE=run:    RUNS executions from seed 1, starting from the inputs; new
#                inputs go to the scratch folder WORK, never to the corpus.
cmake_minimum_required(VERSION 3.25)

set(files)
foreach(input IN LISTS INPUTS)
  if(IS_DIRECTORY "${input}")
    file(GLOB found LIST_DIRECTORIES false "${input}/*")
    list(APPEND files ${found})
  elseif(EXISTS "${input}")
    list(APPEND files "${input}")
  endif()
endforeach()
list(FILTER files EXCLUDE REGEX "/(README[^/]*|\\.keep)$")
list(SORT files)

set(dictionary_option)
if(DICTIONARY)
  set(dictionary_option -dict=${DICTIONARY})
endif()

if(MODE STREQUAL "inputs")
  if(NOT files)
    message(FATAL_ERROR "no inputs in ${INPUTS}")
  endif()
  execute_process(COMMAND ${FUZZER} ${files} RESULT_VARIABLE result)
elseif(MODE STREQUAL "run")
  file(REMOVE_RECURSE "${WORK}")
  file(MAKE_DIRECTORY "${WORK}/new" "${WORK}/seeds")
  # Loose seed files go in through a folder of their own.
  foreach(file IN LISTS files)
    file(COPY "${file}" DESTINATION "${WORK}/seeds")
  endforeach()
  execute_process(
    COMMAND ${FUZZER} -seed=1 -runs=${RUNS} -timeout=30 -print_final_stats=1
            ${dictionary_option} -artifact_prefix=${WORK}/ "${WORK}/new" "${WORK}/seeds"
    RESULT_VARIABLE result)
else()
  message(FATAL_ERROR "MODE must be inputs or run")
endif()

if(NOT result EQUAL 0)
  message(FATAL_ERROR "${FUZZER} failed: ${result}")
endif()
