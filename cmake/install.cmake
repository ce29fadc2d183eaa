# What `cmake --install` puts under the prefix: the program, its manual page,
# its desktop entry, the two static libraries with their headers, a CMake
# package configuration (find_package(pictrix) -> pictrix::pc_pictrix,
# pictrix::ifl0) and a pkg-config file.
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

# The libraries are static, so a program that links them also links what
# they link. The package configuration finds each of those again, and the
# pkg-config file requires them; both lists are made here from the targets'
# own link libraries, so a library added to ifl0 or pc_pictrix is carried
# along. Find-module packages need their pkg-config name (or flags) below.
set(PICTRIX_PC_NAME_JPEG libjpeg)
set(PICTRIX_PC_NAME_PNG libpng)
set(PICTRIX_PC_NAME_TIFF libtiff-4)
set(PICTRIX_PC_NAME_GIF libgif)
set(PICTRIX_PC_NAME_GLUT glut)
set(PICTRIX_PC_NAME_OpenGL gl)
set(PICTRIX_PC_LIBS_Threads -pthread)
set(PICTRIX_FIND_DEPENDENCIES "")
set(PICTRIX_PC_REQUIRES "")
set(PICTRIX_PC_LIBS "")
foreach(target ifl0 pc_pictrix)
  get_target_property(deps ${target} LINK_LIBRARIES)
  foreach(dep IN LISTS deps)
    if(TARGET ${dep} AND NOT dep MATCHES "::")
      continue()  # one of ours, exported alongside
    endif()
    if(NOT dep MATCHES "^([A-Za-z0-9_]+)::")
      message(FATAL_ERROR "${target} links ${dep}: only imported targets can be exported")
    endif()
    set(ns ${CMAKE_MATCH_1})
    if(ns STREQUAL "PkgConfig")
      string(REPLACE "PkgConfig::" "" prefix ${dep})
      set(modules ${__pkg_config_arguments_${prefix}})
      list(REMOVE_ITEM modules REQUIRED QUIET IMPORTED_TARGET GLOBAL NO_CMAKE_PATH NO_CMAKE_ENVIRONMENT_PATH)
      if(NOT modules)
        message(FATAL_ERROR "no pkg-config modules recorded for ${dep}")
      endif()
      list(JOIN modules " " words)
      string(APPEND PICTRIX_FIND_DEPENDENCIES
        "if(NOT TARGET ${dep})\n  pkg_check_modules(${prefix} REQUIRED QUIET IMPORTED_TARGET ${words})\nendif()\n")
      list(APPEND PICTRIX_PC_REQUIRES ${modules})
    else()
      string(APPEND PICTRIX_FIND_DEPENDENCIES "find_dependency(${ns})\n")
      if(DEFINED PICTRIX_PC_NAME_${ns})
        list(APPEND PICTRIX_PC_REQUIRES ${PICTRIX_PC_NAME_${ns}})
      elseif(DEFINED PICTRIX_PC_LIBS_${ns})
        list(APPEND PICTRIX_PC_LIBS ${PICTRIX_PC_LIBS_${ns}})
      else()
        message(FATAL_ERROR "cmake/install.cmake: give the pkg-config name of ${ns}")
      endif()
    endif()
  endforeach()
endforeach()
string(REPLACE ";" " " PICTRIX_PC_REQUIRES "${PICTRIX_PC_REQUIRES}")
string(REPLACE ";" " " PICTRIX_PC_LIBS "${PICTRIX_PC_LIBS}")

install(EXPORT pictrixTargets NAMESPACE pictrix:: DESTINATION ${PICTRIX_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/pictrixConfig.cmake.in
  ${PROJECT_BINARY_DIR}/pictrixConfig.cmake INSTALL_DESTINATION ${PICTRIX_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/pictrixConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/pictrixConfig.cmake ${PROJECT_BINARY_DIR}/pictrixConfigVersion.cmake
        DESTINATION ${PICTRIX_CMAKE_DIR})

# pkg-config: the codec and GLUT libraries are Requires, not
# Requires.private, as every program that links ours links them too
# (Requires.private would need --static, and that in turn asks for the
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

# The desktop entry, through which file managers open pictures with pictrix.
# Debian's desktop-file-utils updates its MIME cache by a trigger on this
# folder, so the package needs no script of its own.
install(FILES ${PROJECT_SOURCE_DIR}/desktop/pictrix.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
