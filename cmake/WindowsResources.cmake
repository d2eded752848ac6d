# The Windows programs' resources: icon and version information for each, and for the window
# program (or a test that shows the window) its manifest (themed common controls, dpi
# awareness) and the lamp glyphs.
#   quorvel_windows_resources(<target> "<file description>" [WINDOW])
function(quorvel_windows_resources target description)
  set(QUORVEL_RC_RESOURCES ${PROJECT_SOURCE_DIR}/resources)
  set(QUORVEL_RC_NAME ${target})
  set(QUORVEL_RC_DESCRIPTION "${description}")
  set(QUORVEL_RC_EXTRA "")
  if("WINDOW" IN_LIST ARGN)
    string(APPEND QUORVEL_RC_EXTRA
           "1 24 \"${QUORVEL_RC_RESOURCES}/windows/updater.manifest\"\n")
    foreach(colour RED GREEN BLUE YELLOW PURPLE BULB)
      foreach(state ON OFF)
        # Stored as they are: a bitmap's header, palette and pixels.
        string(APPEND QUORVEL_RC_EXTRA
               "LED${colour}${state} RCDATA \"${QUORVEL_RC_RESOURCES}/LED${colour}${state}.bmp\"\n")
      endforeach()
    endforeach()
  endif()
  configure_file(${PROJECT_SOURCE_DIR}/resources/windows/program.rc.in
                 ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc @ONLY)
  target_sources(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc)
endfunction()
