# The serial port component's window controls: the selector's shared rules, then the drop-down
# and the lamp on the program's toolkit (Qt, or native Win32 controls in the Windows build),
# with the lamp glyphs built in as resources.
if(NOT TARGET quorvel_serial)
  return()
endif()
set(led_glyphs)
foreach(colour RED GREEN BLUE YELLOW PURPLE BULB)
  foreach(state ON OFF)
    list(APPEND led_glyphs ${PROJECT_SOURCE_DIR}/resources/LED${colour}${state}.bmp)
  endforeach()
endforeach()
add_library(quorvel_serial_controls STATIC
  ${CMAKE_CURRENT_LIST_DIR}/ComLed.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ComLed.h
  ${CMAKE_CURRENT_LIST_DIR}/ComSelect.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ComSelect.h
  ${CMAKE_CURRENT_LIST_DIR}/ComPortControls.h
)
if(WIN32)
  target_sources(quorvel_serial_controls PRIVATE ${CMAKE_CURRENT_LIST_DIR}/win32/ComPortControls.cpp)
  target_link_libraries(quorvel_serial_controls PUBLIC quorvel_serial quorvel_framework_win32)
  # The glyphs go in as resources of the program (resources/windows.rc), which names them.
else()
  target_sources(quorvel_serial_controls PRIVATE ${CMAKE_CURRENT_LIST_DIR}/qt/ComPortControls.cpp)
  target_link_libraries(quorvel_serial_controls PUBLIC quorvel_serial Qt6::Widgets)
  qt_add_resources(quorvel_serial_controls led_glyphs
    PREFIX /leds
    BASE ${PROJECT_SOURCE_DIR}/resources
    FILES ${led_glyphs})
endif()
