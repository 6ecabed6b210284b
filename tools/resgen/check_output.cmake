# Draws the pictures into OUTPUT and compares them with those KEPT in the
# source tree.
execute_process(COMMAND ${RESGEN} ${OUTPUT} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "resgen failed: ${result}")
endif()
foreach(file quillprog.ico progress.avi)
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${OUTPUT}/${file} ${KEPT}/${file}
                  RESULT_VARIABLE differs)
  if(NOT differs EQUAL 0)
    message(FATAL_ERROR "${KEPT}/${file} is not what resgen draws; "
                        "build the resgen_update target and commit the result")
  endif()
endforeach()
