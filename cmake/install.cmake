# What `cmake --install` puts under the prefix, and the Debian package CPack builds
# from the same rules: tavo (bin), libsio.a with its public header (include/sio, so
# that an application writes #include "serial/sio.h"), the CMake package Sio
# (find_package(Sio), target Sio::sio), the pkg-config file sio.pc and the man page.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(SIO_INCLUDE_SUBDIR ${CMAKE_INSTALL_INCLUDEDIR}/sio)
set(SIO_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Sio)
set(SIO_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

target_include_directories(sio PUBLIC $<INSTALL_INTERFACE:${SIO_INCLUDE_SUBDIR}>)

install(TARGETS tavo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS sio EXPORT SioTargets ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${CMAKE_SOURCE_DIR}/serial/sio.h DESTINATION ${SIO_INCLUDE_SUBDIR}/serial)

# The man page goes in compressed where gzip is at hand, as Debian's packages have it.
find_program(TAVO_GZIP gzip)
if(TAVO_GZIP AND NOT WIN32)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/tavo.1.gz
    COMMAND ${TAVO_GZIP} -9 -n -c ${CMAKE_SOURCE_DIR}/man/tavo.1 > ${CMAKE_BINARY_DIR}/tavo.1.gz
    DEPENDS ${CMAKE_SOURCE_DIR}/man/tavo.1 VERBATIM)
  add_custom_target(tavo-man ALL DEPENDS ${CMAKE_BINARY_DIR}/tavo.1.gz)
  install(FILES ${CMAKE_BINARY_DIR}/tavo.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  install(FILES ${CMAKE_SOURCE_DIR}/man/tavo.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# The CMake package: the exported target, its dependencies, its version.
install(EXPORT SioTargets NAMESPACE Sio:: FILE SioTargets.cmake DESTINATION ${SIO_CMAKE_DIR})
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/SioConfig.cmake.in
  ${CMAKE_BINARY_DIR}/SioConfig.cmake INSTALL_DESTINATION ${SIO_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/SioConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/SioConfig.cmake ${CMAKE_BINARY_DIR}/SioConfigVersion.cmake
  DESTINATION ${SIO_CMAKE_DIR})

# The pkg-config file finds the prefix from its own place (${pcfiledir}), so the
# installed tree can be moved or installed under another prefix than the configured one.
file(RELATIVE_PATH SIO_PC_TO_PREFIX /prefix/${SIO_PKGCONFIG_DIR} /prefix)
string(REGEX REPLACE "/$" "" SIO_PC_TO_PREFIX "${SIO_PC_TO_PREFIX}")
if(WIN32)
  set(SIO_PC_SYSTEM_LIBS "-lwinmm")
else()
  set(SIO_PC_SYSTEM_LIBS "-lpthread -lutil")
endif()
configure_file(${CMAKE_SOURCE_DIR}/cmake/sio.pc.in ${CMAKE_BINARY_DIR}/sio.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/sio.pc DESTINATION ${SIO_PKGCONFIG_DIR})

# The Debian package: tavo_<version>_<arch>.deb, the architecture from dpkg.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tavo)
set(CPACK_PACKAGE_VENDOR "TAVO developers")
set(CPACK_PACKAGE_CONTACT "TAVO developers <tavo@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "console host for a board's ROM monitor, and the Sio serial port library")
set(CPACK_PACKAGE_DESCRIPTION
  "tavo is a terminal to the ROM monitor of an embedded board on a serial\n\
port; it loads host files into the board and saves what the board sends.\n\
The package also holds Sio, the static serial port library beneath it,\n\
with its header, CMake package and pkg-config file.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "TAVO developers <tavo@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
find_program(TAVO_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(TAVO_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)  # Depends: from what tavo links
endif()
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
