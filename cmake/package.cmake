# `cpack -G DEB` in a build folder makes a Debian package of what
# cmake --install installs; dpkg-shlibdeps fills in the runtime libraries.
set(CPACK_PACKAGE_NAME pictrix)
set(CPACK_PACKAGE_VENDOR "pictrix developers")
set(CPACK_PACKAGE_CONTACT "pictrix developers <pictrix@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "converts raster pictures and shows them in a window")
set(CPACK_PACKAGE_DESCRIPTION
  "pictrix loads a JPEG, PNG, TIFF, PNM, BMP, GIF, WebP, HEIF (HEIC), AVIF or JPEG XL picture, reports its size, and either converts it to another format, picked by the new file name's ending, or shows it pixel for pixel in an OpenGL window. The package also holds its static libraries, headers, CMake package configuration and pkg-config file.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The window libraries are opened at run time, when a picture is shown, and
# libheif, dav1d and libde265 when a HEIF or AVIF file is read or written,
# libjxl when a JPEG XL file is, so dpkg-shlibdeps cannot see them.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libglut3.12, libgl1, libheif1, libdav1d6, libde265-0, libjxl0.7")
# Building another program against the installed libraries needs the codec
# and colour development packages, and GLUT's for a program that runs the
# event loop itself.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS
  "libjpeg62-turbo-dev, libpng-dev, libtiff-dev, libgif-dev, libwebp-dev, libheif-dev, libjxl-dev, liblcms2-dev, freeglut3-dev, libgl-dev, pkgconf")
include(CPack)
