# The Windows packages (cross build), made by `make package-windows`: an installer (NSIS,
# per user, Start-menu entry, uninstaller) and a zip for those who unpack by hand. Both hold
# the programs with their catalogues in locale\ beside them, where the translation runtime
# looks for them, and the Portuguese readme with Windows line ends.
set(stage_root ${CMAKE_BINARY_DIR}/package)
set(stage ${stage_root}/quorvel-${PROJECT_VERSION}-windows)
set(zip ${CMAKE_BINARY_DIR}/quorvel-${PROJECT_VERSION}-windows.zip)
set(installer ${CMAKE_BINARY_DIR}/quorvel-${PROJECT_VERSION}-setup.exe)
set(copy_programs)
foreach(program ${QUORVEL_PROGRAMS})
  list(APPEND copy_programs COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${program}> ${stage}/)
  # The build keeps its debug information; the packages do not need it (10 MB -> 1.4 MB).
  if(CMAKE_STRIP)
    list(APPEND copy_programs COMMAND ${CMAKE_STRIP} ${stage}/$<TARGET_FILE_NAME:${program}>)
  endif()
endforeach()
set(copy_locale COMMAND ${CMAKE_COMMAND} -E copy_directory
  ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/locale ${stage}/locale)
set(make_installer)
find_program(MAKENSIS makensis)
if(MAKENSIS)
  set(make_installer
    COMMAND ${MAKENSIS} -V2 -DSTAGE=${stage} -DICON=${PROJECT_SOURCE_DIR}/resources/quorvel.ico
            -DVERSION=${PROJECT_VERSION} -DOUTFILE=${installer}
            ${PROJECT_SOURCE_DIR}/packaging/windows/installer.nsi
    COMMAND ${CMAKE_COMMAND} -E echo "Windows installer: ${installer}")
else()
  set(make_installer COMMAND ${CMAKE_COMMAND} -E echo "note: makensis not found (Debian: nsis), no installer")
endif()

add_custom_target(package-windows
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${stage} ${zip} ${installer}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${stage}
  ${copy_programs}
  ${copy_locale}
  COMMAND ${CMAKE_COMMAND} -DIN=${PROJECT_SOURCE_DIR}/packaging/windows/LEIA-ME.txt
          -DOUT=${stage}/LEIA-ME.txt -P ${PROJECT_SOURCE_DIR}/packaging/windows/crlf.cmake
  COMMAND cd ${stage_root} && zip -q -r -X ${zip} quorvel-${PROJECT_VERSION}-windows
  COMMAND ${CMAKE_COMMAND} -E echo "Windows zip: ${zip}"
  ${make_installer}
  VERBATIM)
add_dependencies(package-windows ${QUORVEL_PROGRAMS} quorvel_catalogues)
