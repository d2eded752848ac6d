# The serial port component's window controls (Qt): the setting selector and the lamp, with
# the lamp glyphs built in as resources.
if(NOT TARGET quorvel_serial)
  return()
endif()
add_library(quorvel_serial_controls STATIC
  ${CMAKE_CURRENT_LIST_DIR}/ComPortControls.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ComPortControls.h
)
target_link_libraries(quorvel_serial_controls PUBLIC quorvel_serial Qt6::Widgets)
set(led_glyphs)
foreach(colour RED GREEN BLUE YELLOW PURPLE BULB)
  foreach(state ON OFF)
    list(APPEND led_glyphs ${PROJECT_SOURCE_DIR}/resources/LED${colour}${state}.bmp)
  endforeach()
endforeach()
qt_add_resources(quorvel_serial_controls led_glyphs
  PREFIX /leds
  BASE ${PROJECT_SOURCE_DIR}/resources
  FILES ${led_glyphs})
