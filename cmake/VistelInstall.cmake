include(CMakePackageConfigHelpers)

install(TARGETS vistel EXPORT VistelTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# Headers named *_p.h are private to their unit and stay out of the package.
install(DIRECTORY ${CMAKE_SOURCE_DIR}/src/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vistel
  FILES_MATCHING PATTERN "*.h" PATTERN "*_p.h" EXCLUDE)
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
