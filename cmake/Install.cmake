# What `cmake --install` (make install) puts where, and the Debian package
# that CPack (make package) makes of it. Everything is relocatable: programs
# find each other by relative ways ($ORIGIN run paths, the host search of
# controller/HostProcess.cpp, a pkg-config file relative to itself), so one
# build installs under any prefix and DESTDIR.
#
#   bin/marlin-play
#   lib/marlin/marlin-host, its shared libraries, LAVFilters/*.ax
#   <libdir>/libmarlin-controller.so*, pkgconfig/marlin-controller.pc,
#     cmake/MarlinController/
#   include/marlin/Controller.h
#   share/man/man1/marlin-play.1, marlin-host.1
#   share/doc/marlin/protocol.md, README.md

include(CMakePackageConfigHelpers)

# The host and the libraries it loads, in a folder of their own.
set(host_libraries marlin_dshow marlin_com kvh264decode vexbase)
set_target_properties(marlin-host ${host_libraries} PROPERTIES INSTALL_RPATH "$ORIGIN")
install(TARGETS marlin-host RUNTIME DESTINATION ${MARLIN_INSTALL_HOSTDIR} COMPONENT runtime)
install(TARGETS ${host_libraries} LIBRARY DESTINATION ${MARLIN_INSTALL_HOSTDIR} COMPONENT runtime)
foreach(module LAVSplitter LAVVideo LAVAudio)
  set_target_properties(${module} PROPERTIES INSTALL_RPATH "$ORIGIN/..")
  install(TARGETS ${module} LIBRARY DESTINATION ${MARLIN_INSTALL_HOSTDIR}/LAVFilters COMPONENT runtime)
endforeach()

install(TARGETS marlin-play RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)

# The controller library with its header, pkg-config file and CMake package.
install(TARGETS marlin-controller EXPORT MarlinControllerTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT runtime)
install(FILES ${PROJECT_SOURCE_DIR}/controller/include/marlin/Controller.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/marlin COMPONENT runtime)

set(MARLIN_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/MarlinController)
install(EXPORT MarlinControllerTargets NAMESPACE Marlin::
  DESTINATION ${MARLIN_CMAKE_PACKAGE_DIR} COMPONENT runtime)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/MarlinControllerConfig.cmake.in
  ${PROJECT_BINARY_DIR}/MarlinControllerConfig.cmake
  INSTALL_DESTINATION ${MARLIN_CMAKE_PACKAGE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/MarlinControllerConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/MarlinControllerConfig.cmake
  ${PROJECT_BINARY_DIR}/MarlinControllerConfigVersion.cmake
  DESTINATION ${MARLIN_CMAKE_PACKAGE_DIR} COMPONENT runtime)

# pkg-config finds the prefix from where the file lies.
file(RELATIVE_PATH MARLIN_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" MARLIN_PC_TO_PREFIX "${MARLIN_PC_TO_PREFIX}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/marlin-controller.pc.in
  ${PROJECT_BINARY_DIR}/marlin-controller.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/marlin-controller.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT runtime)

install(FILES ${PROJECT_SOURCE_DIR}/docs/man/marlin-play.1 ${PROJECT_SOURCE_DIR}/docs/man/marlin-host.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT runtime)
install(FILES ${PROJECT_SOURCE_DIR}/docs/protocol.md ${PROJECT_SOURCE_DIR}/README.md
  DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT runtime)

# --- the Debian package ---
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME marlin)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "media host that decodes files for a controller program")
set(CPACK_PACKAGE_DESCRIPTION
  "Marlin is a small process that a controller program starts and drives over two local sockets. \
It decodes media files with FFmpeg, converts pictures and sound to the format asked for and hands \
them back at their presentation time. The package holds the host, the marlin-play command and the \
controller library with its header, pkg-config file and CMake package.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # marlin_<version>_<arch>.deb
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Marlin developers <marlin@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
find_program(MARLIN_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(MARLIN_DPKG_SHLIBDEPS)
  # The dependencies of every binary in the package, FFmpeg's libraries
  # among them, as Debian names them.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  # Debian names a library's package after its soname major version.
  set(deps "libc6, libstdc++6, libpng16-16")
  foreach(lib avformat avcodec avutil swscale swresample)
    string(REGEX MATCH "^[0-9]+" major "${FFMPEG_lib${lib}_VERSION}")
    string(APPEND deps ", lib${lib}${major}")
  endforeach()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "${deps}")
endif()
include(CPack)
