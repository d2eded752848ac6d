# The firmware image goes into the program scrambled: a small host tool packs firmware.hex
# into a generated source in the build tree, so the plain text never sits in the binary.
add_executable(quorvel-imagepack ${PROJECT_SOURCE_DIR}/tools/imagepack/imagepack.cpp)
target_include_directories(quorvel-imagepack PRIVATE ${PROJECT_SOURCE_DIR})

set(firmware_hex ${PROJECT_SOURCE_DIR}/resources/firmware.hex)
set(firmware_image_cpp ${CMAKE_CURRENT_BINARY_DIR}/FirmwareImageData.cpp)
add_custom_command(
  OUTPUT ${firmware_image_cpp}
  COMMAND quorvel-imagepack ${firmware_hex} ${firmware_image_cpp}
  DEPENDS quorvel-imagepack ${firmware_hex}
  COMMENT "Packing the firmware image"
  VERBATIM)

# What an error code means and how a shared log is locked differ per system: one file each.
if(WIN32)
  set(core_platform win32)
else()
  set(core_platform posix)
endif()
add_library(quorvel_core STATIC
  ${CMAKE_CURRENT_SOURCE_DIR}/UpdateState.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/UpdateLog.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/FirmwareImage.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/FrameEncoder.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/OpenFailure.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/${core_platform}/OpenFailure.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/${core_platform}/LogFile.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/ReplyParser.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/UpdateController.cpp
  ${firmware_image_cpp}
)
target_include_directories(quorvel_core PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(quorvel_core PUBLIC quorvel_framework)

# The controller's line on the serial component, for the window and the flasher.
add_library(quorvel_comportline STATIC ${CMAKE_CURRENT_SOURCE_DIR}/ComPortLine.cpp)
target_link_libraries(quorvel_comportline PUBLIC quorvel_core quorvel_serial)
# Plain C++ below the window: keep Qt's code generators off these targets.
set_target_properties(quorvel_core quorvel_comportline quorvel-imagepack PROPERTIES
  AUTOMOC OFF AUTOUIC OFF AUTORCC OFF)
