# The serial port component: plain C++ over the platform's serial interface, with one backend
# file per platform.
if(WIN32)
  set(serial_platform_sources
    ${CMAKE_CURRENT_LIST_DIR}/win32/Win32Backend.cpp
    ${CMAKE_CURRENT_LIST_DIR}/win32/ComPortList.cpp
    ${CMAKE_CURRENT_LIST_DIR}/win32/ComPortInfo.cpp
    ${CMAKE_CURRENT_LIST_DIR}/net/win32/Socket.cpp
    ${CMAKE_CURRENT_LIST_DIR}/net/win32/TlsStream.cpp)
else()
  set(serial_platform_sources
    ${CMAKE_CURRENT_LIST_DIR}/posix/PosixBackend.cpp
    ${CMAKE_CURRENT_LIST_DIR}/posix/ModemWatch.cpp
    ${CMAKE_CURRENT_LIST_DIR}/posix/ComPortList.cpp
    ${CMAKE_CURRENT_LIST_DIR}/posix/ComPortInfo.cpp
    ${CMAKE_CURRENT_LIST_DIR}/posix/ComPortHolders.cpp
    ${CMAKE_CURRENT_LIST_DIR}/net/posix/Socket.cpp
    ${CMAKE_CURRENT_LIST_DIR}/net/posix/TlsStream.cpp)
  # rfc2217s:// ports; the Windows build has no OpenSSL.
  find_package(OpenSSL 3 REQUIRED)
endif()
add_library(quorvel_serial STATIC
  ${CMAKE_CURRENT_LIST_DIR}/ComPort.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ComPortInfo.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ComPortMessages.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ComPortStartup.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ComThread.cpp
  ${CMAKE_CURRENT_LIST_DIR}/net/NetAddress.cpp
  ${CMAKE_CURRENT_LIST_DIR}/net/NetBackend.cpp
  ${CMAKE_CURRENT_LIST_DIR}/net/NetProbe.cpp
  ${CMAKE_CURRENT_LIST_DIR}/net/PortsConf.cpp
  ${CMAKE_CURRENT_LIST_DIR}/net/Telnet.cpp
  ${serial_platform_sources}
)
# The start-up step routes the messages through the translation runtime.
target_link_libraries(quorvel_serial PUBLIC quorvel_framework quorvel_i18n)
if(WIN32)
  target_link_libraries(quorvel_serial PUBLIC advapi32 ws2_32)
else()
  target_link_libraries(quorvel_serial PRIVATE OpenSSL::SSL)
endif()
