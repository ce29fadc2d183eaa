# What `cmake --install` puts under the prefix: the program, its manual page,
# the two static libraries with their headers, a CMake package configuration
# (find_package(pictrix) -> pictrix::pc_pictrix, pictrix::ifl0) and a
# pkg-config file.
include(CMakePackageConfigHelpers)

set(PICTRIX_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/pictrix)

install(TARGETS pictrix RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS ifl0 pc_pictrix EXPORT pictrixTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES
          ${PROJECT_SOURCE_DIR}/ifl0/include/ifl0.h
          ${PROJECT_SOURCE_DIR}/pc_pictrix/rgbaimage.h
          ${PROJECT_SOURCE_DIR}/pc_pictrix/imagefile.h
          ${PROJECT_SOURCE_DIR}/pc_pictrix/glutwin.h
          ${PROJECT_SOURCE_DIR}/pc_pictrix/imagewin.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/pictrix)

install(EXPORT pictrixTargets NAMESPACE pictrix:: DESTINATION ${PICTRIX_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/pictrixConfig.cmake.in
  ${PROJECT_BINARY_DIR}/pictrixConfig.cmake INSTALL_DESTINATION ${PICTRIX_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/pictrixConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/pictrixConfig.cmake ${PROJECT_BINARY_DIR}/pictrixConfigVersion.cmake
        DESTINATION ${PICTRIX_CMAKE_DIR})

# pkg-config: the libraries are static, so every program that links them
# also links their codec and GLUT libraries: those are Requires, not
# Requires.private (which would need --static, and that in turn asks for the
# static-only dependencies of Debian's shared libraries).
# The prefix is found from the file's own place, so any install prefix works.
file(RELATIVE_PATH PICTRIX_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" PICTRIX_PC_TO_PREFIX "${PICTRIX_PC_TO_PREFIX}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/pictrix.pc.in ${PROJECT_BINARY_DIR}/pictrix.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/pictrix.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# Debian ships manual pages compressed.
find_program(GZIP_PROGRAM gzip)
set(PICTRIX_MAN_SOURCE ${PROJECT_SOURCE_DIR}/man/pictrix.1)
if(GZIP_PROGRAM)
  set(PICTRIX_MAN_PAGE ${PROJECT_BINARY_DIR}/man/pictrix.1.gz)
  add_custom_command(OUTPUT ${PICTRIX_MAN_PAGE}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
    COMMAND ${GZIP_PROGRAM} -9 -n -c ${PICTRIX_MAN_SOURCE} > ${PICTRIX_MAN_PAGE}
    DEPENDS ${PICTRIX_MAN_SOURCE} VERBATIM)
  add_custom_target(pictrix_man ALL DEPENDS ${PICTRIX_MAN_PAGE})
else()
  set(PICTRIX_MAN_PAGE ${PICTRIX_MAN_SOURCE})
endif()
install(FILES ${PICTRIX_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
