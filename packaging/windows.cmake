# The Windows zip (cross build): the programs with their catalogues in locale\ beside them,
# where the translation runtime looks for them. Built by `make package-windows`.
set(quorvel_windows_programs)
foreach(program quorvel-flash)
  if(TARGET ${program})
    list(APPEND quorvel_windows_programs ${program})
  endif()
endforeach()

set(stage_root ${CMAKE_BINARY_DIR}/package)
set(stage ${stage_root}/quorvel-${PROJECT_VERSION}-windows)
set(zip ${CMAKE_BINARY_DIR}/quorvel-${PROJECT_VERSION}-windows.zip)
set(copy_programs)
foreach(program ${quorvel_windows_programs})
  list(APPEND copy_programs COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${program}> ${stage}/)
  # The build keeps its debug information; the zip does not need it (10 MB -> 1.4 MB).
  if(CMAKE_STRIP)
    list(APPEND copy_programs COMMAND ${CMAKE_STRIP} ${stage}/$<TARGET_FILE_NAME:${program}>)
  endif()
endforeach()
if(NOT quorvel_windows_programs)
  set(copy_programs COMMAND ${CMAKE_COMMAND} -E echo
    "note: no Windows program in this tree yet, the zip holds the catalogues only")
endif()
set(copy_locale)
if(TARGET quorvel_catalogues)
  set(copy_locale COMMAND ${CMAKE_COMMAND} -E copy_directory
    ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/locale ${stage}/locale)
endif()

add_custom_target(package-windows
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${stage} ${zip}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${stage}
  ${copy_programs}
  ${copy_locale}
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/README.md ${stage}/README.txt
  COMMAND cd ${stage_root} && zip -q -r -X ${zip} quorvel-${PROJECT_VERSION}-windows
  COMMAND ${CMAKE_COMMAND} -E echo "Windows zip: ${zip}"
  VERBATIM)
if(quorvel_windows_programs)
  add_dependencies(package-windows ${quorvel_windows_programs})
endif()
if(TARGET quorvel_catalogues)
  add_dependencies(package-windows quorvel_catalogues)
endif()
