include(CMakePackageConfigHelpers)

install(TARGETS vistel EXPORT VistelTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# The installed API is what a host embeds, and what those headers include;
# vistel/vistel.h includes it all. Every other header is private to the build,
# so the rasteriser, the readers and the rest can change without breaking users.
set(VISTEL_INSTALLED_HEADERS
  engine/navigator_host.h engine/viewer_engine.h
  host/control_engine.h host/frame_mailbox.h host/host_ui.h host/preset_text.h
  host/property_bag.h host/viewer_engine_binding.h host/vistel_control.h
  imaging/source_reader_factory.h
  platform/clock.h platform/prompt_ui.h platform/thread.h
  project/document.h project/encoding.h project/project_holder.h project/script_host.h
  scene/frame_sink.h)
foreach(header IN LISTS VISTEL_INSTALLED_HEADERS)
  get_filename_component(folder ${header} DIRECTORY)
  install(FILES ${CMAKE_SOURCE_DIR}/src/${header} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vistel/${folder})
endforeach()
install(FILES ${CMAKE_SOURCE_DIR}/src/vistel.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vistel)
install(EXPORT VistelTargets NAMESPACE Vistel:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Vistel)

configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/VistelConfig.cmake.in
  ${CMAKE_BINARY_DIR}/VistelConfig.cmake INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Vistel)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/VistelConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_BINARY_DIR}/VistelConfig.cmake ${CMAKE_BINARY_DIR}/VistelConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Vistel)

# The .pc file finds its prefix relative to itself, so the package can be moved
# or installed under any prefix.
file(RELATIVE_PATH VISTEL_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
# A static libvistel needs its dependencies on every consumer's link line; a
# shared one carries them itself.
if(BUILD_SHARED_LIBS)
  set(VISTEL_PC_REQUIRES "Requires.private")
else()
  set(VISTEL_PC_REQUIRES "Requires")
endif()
configure_file(${CMAKE_SOURCE_DIR}/cmake/vistel.pc.in ${CMAKE_BINARY_DIR}/vistel.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/vistel.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The bundled demo, which `vistel serve` shows when it is given no project; the
# desktop viewer installs the same files when it is built.
if(NOT VISTEL_BUILD_VIEWER)
  file(GLOB VISTEL_SERVE_DEMO_FILES ${CMAKE_SOURCE_DIR}/examples/demo/*)
  install(FILES ${VISTEL_SERVE_DEMO_FILES} DESTINATION ${CMAKE_INSTALL_DATADIR}/vistel/demo)
endif()
