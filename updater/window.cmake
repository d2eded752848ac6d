# The window side of the updater (Qt): the main window as a library the tests drive, and the
# program that shows it.
if(NOT TARGET quorvel_serial_controls OR NOT TARGET quorvel_core)
  return()
endif()
add_library(quorvel_window STATIC
  ${CMAKE_CURRENT_LIST_DIR}/Unit1.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Unit1.h
  ${CMAKE_CURRENT_LIST_DIR}/WindowTexts.cpp
)
target_link_libraries(quorvel_window PUBLIC quorvel_core quorvel_serial_controls quorvel_framework_qt)
qt_add_resources(quorvel_window window_icon
  PREFIX /icons
  BASE ${PROJECT_SOURCE_DIR}/resources
  FILES ${PROJECT_SOURCE_DIR}/resources/quorvel.ico)

if(TARGET quorvel_i18n)
  add_executable(quorvel-updater ${CMAKE_CURRENT_LIST_DIR}/main.cpp
                                 ${CMAKE_CURRENT_LIST_DIR}/ProgramStartup.cpp)
  target_link_libraries(quorvel-updater PRIVATE quorvel_window quorvel_i18n)
  target_compile_definitions(quorvel-updater PRIVATE QUORVEL_VERSION="${PROJECT_VERSION}")
  # Built against a Windows Qt: a window program, with no console beside it.
  set_target_properties(quorvel-updater PROPERTIES WIN32_EXECUTABLE ON)
endif()
