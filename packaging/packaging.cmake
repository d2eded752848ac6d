# Install layout and the Debian packages: quorvel-flash (the command-line updater, the board
# simulator, their manual pages and every catalogue; no Qt) for headless benches, and
# quorvel-updater (the window), which depends on it.
#
#   <prefix>/lib/quorvel-updater/   the real executables with locale/ beside them: the
#                                   translation runtime finds its catalogues next to its own
#                                   executable (/proc/self/exe)
#   <prefix>/bin/                   launchers that exec those executables
#   <prefix>/share/applications/    the desktop entry
#   <prefix>/share/icons/hicolor/   the window icon in the sizes desktops look up
#   <prefix>/share/metainfo/        the AppStream entry software centres read
#   <prefix>/share/man/man1/        manual pages
#   <prefix>/share/doc/quorvel-updater/  user notes, copyright, Debian changelog
#
# The window's rules go with QUORVEL_GUI, so the same file serves a build without the window
# (the flasher and the simulator) and the full program.

set(QUORVEL_INSTALL_PROGRAM_DIR lib/quorvel-updater)
set(QUORVEL_INSTALL_BIN_DIR bin)
set(QUORVEL_ICON_NAME quorvel-updater)
set(QUORVEL_ICON_SIZES 16 32 48 64 128 256)

file(RELATIVE_PATH bin_to_program_dir /${QUORVEL_INSTALL_BIN_DIR} /${QUORVEL_INSTALL_PROGRAM_DIR})

# Which package each file goes to.
set(quorvel_component_quorvel-updater window)
set(quorvel_component_quorvel-boardsim flash)
set(quorvel_component_quorvel-flash flash)

function(quorvel_install_program target)
  set(component ${quorvel_component_${target}})
  install(TARGETS ${target} RUNTIME DESTINATION ${QUORVEL_INSTALL_PROGRAM_DIR}
          COMPONENT ${component})
  set(PROGRAM ${target})
  set(BIN_TO_PROGRAM_DIR ${bin_to_program_dir})
  configure_file(${CMAKE_CURRENT_LIST_DIR}/launcher.in
                 ${CMAKE_BINARY_DIR}/packaging/launchers/${target} @ONLY)
  install(PROGRAMS ${CMAKE_BINARY_DIR}/packaging/launchers/${target}
          DESTINATION ${QUORVEL_INSTALL_BIN_DIR} COMPONENT ${component})
endfunction()

foreach(program ${QUORVEL_PROGRAMS})
  quorvel_install_program(${program})
endforeach()

# The catalogues, as i18n/ built them beside the executables; the window finds them there too.
install(DIRECTORY ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/locale
        DESTINATION ${QUORVEL_INSTALL_PROGRAM_DIR} COMPONENT flash
        FILES_MATCHING PATTERN "*.mo")

# Desktop entry and icons belong to the window.
set(quorvel_window_icon ${PROJECT_SOURCE_DIR}/resources/quorvel.ico)
if(QUORVEL_GUI)
  add_executable(quorvel-icon-sizes ${CMAKE_CURRENT_LIST_DIR}/IconSizes.cpp)
  target_link_libraries(quorvel-icon-sizes PRIVATE Qt6::Gui)
  quorvel_reads_qt_tsan_suppressions(quorvel-icon-sizes)
  set_target_properties(quorvel-icon-sizes PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/packaging)

  set(icon_dir ${CMAKE_BINARY_DIR}/packaging/icons)
  set(icon_files)
  foreach(size ${QUORVEL_ICON_SIZES})
    list(APPEND icon_files ${icon_dir}/${size}x${size}/apps/${QUORVEL_ICON_NAME}.png)
  endforeach()
  add_custom_command(OUTPUT ${icon_files}
    COMMAND quorvel-icon-sizes ${quorvel_window_icon} ${icon_dir} ${QUORVEL_ICON_NAME}
            ${QUORVEL_ICON_SIZES}
    DEPENDS quorvel-icon-sizes ${quorvel_window_icon}
    COMMENT "Window icon in the desktop sizes")
  add_custom_target(quorvel_icons ALL DEPENDS ${icon_files})

  install(DIRECTORY ${icon_dir}/ DESTINATION share/icons/hicolor COMPONENT window
          FILES_MATCHING PATTERN "*.png")
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/quorvel-updater.desktop
          DESTINATION share/applications COMPONENT window)

  # What software centres list.
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/br.com.quorvel.atualizador.metainfo.xml
          DESTINATION share/metainfo COMPONENT window)
endif()

# Compressed as Debian wants them: best compression, no name or time stamp inside.
function(quorvel_gzip source output)
  add_custom_command(OUTPUT ${output}
    COMMAND sh -c "gzip -9nc \"$1\" > \"$2\"" gzip ${source} ${output}
    DEPENDS ${source}
    VERBATIM)
  set(quorvel_gzipped ${quorvel_gzipped} ${output} PARENT_SCOPE)
endfunction()

set(gz_dir ${CMAKE_BINARY_DIR}/packaging/gz)
file(MAKE_DIRECTORY ${gz_dir})
set(quorvel_gzipped)
quorvel_gzip(${CMAKE_CURRENT_LIST_DIR}/debian/changelog ${gz_dir}/changelog.Debian.gz)
foreach(program ${QUORVEL_PROGRAMS})
  quorvel_gzip(${CMAKE_CURRENT_LIST_DIR}/man/${program}.1 ${gz_dir}/${program}.1.gz)
  install(FILES ${gz_dir}/${program}.1.gz DESTINATION share/man/man1
          COMPONENT ${quorvel_component_${program}})
endforeach()
add_custom_target(quorvel_gzipped_docs ALL DEPENDS ${quorvel_gzipped})

# Each package carries its licence, changelog and lintian overrides under its own name; the
# technician's notes (not the developers' README) go with the window.
set(quorvel_packages flash)
if(QUORVEL_GUI)
  list(APPEND quorvel_packages window)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/README.user DESTINATION share/doc/quorvel-updater
          RENAME README COMPONENT window)
endif()
set(quorvel_package_name_flash quorvel-flash)
set(quorvel_package_name_window quorvel-updater)
foreach(component ${quorvel_packages})
  set(name ${quorvel_package_name_${component}})
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/copyright ${gz_dir}/changelog.Debian.gz
          DESTINATION share/doc/${name} COMPONENT ${component})
  configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/lintian-overrides
                 ${CMAKE_BINARY_DIR}/packaging/lintian/${name} @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/packaging/lintian/${name}
          DESTINATION share/lintian/overrides COMPONENT ${component})
endforeach()

# The Debian packages: `make package` (or `cpack` in the build folder).
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${quorvel_packages})
set(CPACK_PACKAGE_NAME quorvel-updater)
set(CPACK_PACKAGE_VENDOR "Quorvel")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_FLASH_PACKAGE_NAME quorvel-flash)
set(CPACK_DEBIAN_WINDOW_PACKAGE_NAME quorvel-updater)
# One source: the window's package names the very build of the flasher it came with.
set(CPACK_DEBIAN_FLASH_PACKAGE_SOURCE quorvel-updater)
set(CPACK_DEBIAN_WINDOW_PACKAGE_SOURCE quorvel-updater)
set(CPACK_COMPONENT_FLASH_DESCRIPTION
    "command-line firmware updater for the Quorvel fuel-pump simulator board
quorvel-flash updates the firmware of Quorvel KX27 fuel-pump simulator
boards over serial ports from a terminal: several boards at once, every
board found on the free USB ports, or one board after another on a bench
socket, with a service record per board that it can show again. It names
who holds a busy port and says what to do after every failure, in English
or Portuguese.

The package also carries quorvel-boardsim, which plays the board on a
pseudo-terminal, so an update can be tried without hardware. It needs no
window system.")
set(CPACK_COMPONENT_WINDOW_DESCRIPTION
    "firmware updater for the Quorvel fuel-pump simulator board
Atualizador Quorvel updates the firmware of the Quorvel KX27 fuel-pump
simulator board over a serial port: the technician opens the port,
connects and starts the update; the program brings the board into its
boot monitor, identifies it and sends the firmware image built into it,
block by block, with acknowledgements and resends. Window texts are
Portuguese; messages of the serial layer are translated through the
catalogues of quorvel-flash, which it depends on.")
set(CPACK_PACKAGE_CONTACT "Quorvel maintainers <maintainers@users.noreply.c-seed-c5d47207.example>")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CPACK_PACKAGE_CONTACT})
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Depends from the libraries the executables really link (libqt6widgets6 and the rest for the
# window, the C++ runtime alone for the flasher), as dpkg-shlibdeps reads them from Debian's
# symbol files.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The window's font (Liberation Sans Narrow), which no library pulls in, and its catalogues.
set(CPACK_DEBIAN_WINDOW_PACKAGE_DEPENDS
    "fonts-liberation, quorvel-flash (= ${PROJECT_VERSION}-1)")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Control files with the modes Debian's policy asks for.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
