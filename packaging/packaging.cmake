# Install layout and the Debian package.
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
# Every rule depends only on what this build has, so the same file serves a build without the
# window (the simulator alone) and the full program.

set(QUORVEL_INSTALL_PROGRAM_DIR lib/quorvel-updater)
set(QUORVEL_INSTALL_BIN_DIR bin)
set(QUORVEL_ICON_NAME quorvel-updater)
set(QUORVEL_ICON_SIZES 16 32 48 64 128 256)

file(RELATIVE_PATH bin_to_program_dir /${QUORVEL_INSTALL_BIN_DIR} /${QUORVEL_INSTALL_PROGRAM_DIR})

function(quorvel_install_program target)
  install(TARGETS ${target} RUNTIME DESTINATION ${QUORVEL_INSTALL_PROGRAM_DIR})
  set(PROGRAM ${target})
  set(BIN_TO_PROGRAM_DIR ${bin_to_program_dir})
  configure_file(${CMAKE_CURRENT_LIST_DIR}/launcher.in
                 ${CMAKE_BINARY_DIR}/packaging/launchers/${target} @ONLY)
  install(PROGRAMS ${CMAKE_BINARY_DIR}/packaging/launchers/${target}
          DESTINATION ${QUORVEL_INSTALL_BIN_DIR})
endfunction()

foreach(program quorvel-updater quorvel-boardsim quorvel-flash)
  if(TARGET ${program})
    quorvel_install_program(${program})
  endif()
endforeach()

# The catalogues, as i18n/ built them beside the executables.
if(TARGET quorvel_catalogues)
  install(DIRECTORY ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/locale
          DESTINATION ${QUORVEL_INSTALL_PROGRAM_DIR}
          FILES_MATCHING PATTERN "*.mo")
endif()

# Desktop entry and icons belong to the window.
set(quorvel_window_icon ${PROJECT_SOURCE_DIR}/resources/quorvel.ico)
if(TARGET quorvel-updater AND EXISTS ${quorvel_window_icon})
  add_executable(quorvel-icon-sizes ${CMAKE_CURRENT_LIST_DIR}/IconSizes.cpp)
  target_link_libraries(quorvel-icon-sizes PRIVATE Qt6::Gui)
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

  install(DIRECTORY ${icon_dir}/ DESTINATION share/icons/hicolor
          FILES_MATCHING PATTERN "*.png")
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/quorvel-updater.desktop
          DESTINATION share/applications)

  # What software centres list.
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/br.com.quorvel.atualizador.metainfo.xml
          DESTINATION share/metainfo)
endif()

# Compressed as Debian wants them: best compression, no name or time stamp inside.
function(quorvel_gzip source output)
  add_custom_command(OUTPUT ${output}
    COMMAND sh -c "gzip -9nc \"$1\" > \"$2\"" gzip ${source} ${output}
    DEPENDS ${source}
    VERBATIM)
  set(quorvel_gzipped ${quorvel_gzipped} ${output} PARENT_SCOPE)
endfunction()

set(doc_dir share/doc/quorvel-updater)
set(gz_dir ${CMAKE_BINARY_DIR}/packaging/gz)
file(MAKE_DIRECTORY ${gz_dir})
set(quorvel_gzipped)
quorvel_gzip(${CMAKE_CURRENT_LIST_DIR}/debian/changelog ${gz_dir}/changelog.Debian.gz)
foreach(program quorvel-updater quorvel-boardsim quorvel-flash)
  if(TARGET ${program})
    quorvel_gzip(${CMAKE_CURRENT_LIST_DIR}/man/${program}.1 ${gz_dir}/${program}.1.gz)
    install(FILES ${gz_dir}/${program}.1.gz DESTINATION share/man/man1)
  endif()
endforeach()
add_custom_target(quorvel_gzipped_docs ALL DEPENDS ${quorvel_gzipped})

# The technician's notes, not the developers' README.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/README.user DESTINATION ${doc_dir} RENAME README)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/copyright ${gz_dir}/changelog.Debian.gz
        DESTINATION ${doc_dir})
install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/lintian-overrides
        DESTINATION share/lintian/overrides RENAME quorvel-updater)

# The Debian package: `make package` (or `cpack` in the build folder).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorvel-updater)
set(CPACK_PACKAGE_VENDOR "Quorvel")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "firmware updater for the Quorvel fuel-pump simulator board")
set(CPACK_PACKAGE_DESCRIPTION
    "Atualizador Quorvel updates the firmware of the Quorvel KX27 fuel-pump
simulator board over a serial port: the technician opens the port,
connects and starts the update; the program brings the board into its
boot monitor, identifies it and sends the firmware image built into it,
block by block, with acknowledgements and resends. Window texts are
Portuguese; messages of the serial layer are translated through the
catalogues shipped with it.

The package also carries quorvel-flash, the same update from the command
line for several boards at once with a service record per board, and
quorvel-boardsim, which plays the board on a pseudo-terminal, so an update
can be demonstrated without hardware.")
set(CPACK_PACKAGE_CONTACT "Quorvel maintainers <maintainers@users.noreply.c-seed-c5d47207.example>")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CPACK_PACKAGE_CONTACT})
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Depends from the libraries the executables really link (libqt6widgets6 and the rest), as
# dpkg-shlibdeps reads them from Debian's symbol files.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The window's font (Liberation Sans Narrow), which no library pulls in.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-liberation")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Control files with the modes Debian's policy asks for.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
