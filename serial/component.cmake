# The serial port component: plain C++ over the platform's serial interface.
add_library(quorvel_serial STATIC
  ${CMAKE_CURRENT_LIST_DIR}/ComPort.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ComPortMessages.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ComPortStartup.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ComThread.cpp
  ${CMAKE_CURRENT_LIST_DIR}/posix/PosixBackend.cpp
  ${CMAKE_CURRENT_LIST_DIR}/posix/ModemWatch.cpp
  ${CMAKE_CURRENT_LIST_DIR}/posix/ComPortList.cpp
  ${CMAKE_CURRENT_LIST_DIR}/posix/ComPortInfo.cpp
)
# The start-up step routes the messages through the translation runtime.
target_link_libraries(quorvel_serial PUBLIC quorvel_framework quorvel_i18n)
