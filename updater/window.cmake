# The window side of the updater: the main window as a library the tests drive, and the
# program that shows it. On Qt, or on native Win32 controls in the Windows build.
if(NOT TARGET quorvel_serial_controls OR NOT TARGET quorvel_core)
  return()
endif()
add_library(quorvel_window STATIC
  ${CMAKE_CURRENT_LIST_DIR}/Unit1.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Unit1.h
  ${CMAKE_CURRENT_LIST_DIR}/WindowTexts.cpp
)
if(WIN32)
  target_link_libraries(quorvel_window PUBLIC quorvel_comportline quorvel_serial_controls
                                              quorvel_framework_win32)
  set_target_properties(quorvel_window PROPERTIES AUTOMOC OFF AUTOUIC OFF AUTORCC OFF)
  if(TARGET quorvel_i18n)
    add_executable(quorvel-updater WIN32 ${CMAKE_CURRENT_LIST_DIR}/win32/main.cpp
                                         ${CMAKE_CURRENT_LIST_DIR}/ProgramStartup.cpp)
    target_link_libraries(quorvel-updater PRIVATE quorvel_window quorvel_i18n)
    set_target_properties(quorvel-updater PROPERTIES AUTOMOC OFF AUTOUIC OFF AUTORCC OFF)
    quorvel_windows_resources(quorvel-updater "Atualizador Quorvel" WINDOW)
  endif()
  return()
endif()

target_link_libraries(quorvel_window PUBLIC quorvel_comportline quorvel_serial_controls
                                            quorvel_framework_qt)
qt_add_resources(quorvel_window window_icon
  PREFIX /icons
  BASE ${PROJECT_SOURCE_DIR}/resources
  FILES ${PROJECT_SOURCE_DIR}/resources/quorvel.ico)

if(TARGET quorvel_i18n)
  add_executable(quorvel-updater ${CMAKE_CURRENT_LIST_DIR}/main.cpp
                                 ${CMAKE_CURRENT_LIST_DIR}/ProgramStartup.cpp)
  target_link_libraries(quorvel-updater PRIVATE quorvel_window quorvel_i18n)
  target_compile_definitions(quorvel-updater PRIVATE QUORVEL_VERSION="${PROJECT_VERSION}")
endif()
