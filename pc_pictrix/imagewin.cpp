#include "imagewin.h"

#include "glapi.h"

#include <cstdio>

#ifndef GL_BGRA_EXT
#define GL_BGRA_EXT 0x80E1
#endif

imagewin::imagewin() : image(), bgra(false) {}

imagewin::~imagewin() {}

void imagewin::SetImage(imagebuf picture) {
    image = picture;
    glutSetWindow(id);
    if (image.width > 0 && image.height > 0) {
        glutShowWindow();
        glutReshapeWindow(image.width, image.height);
    } else {
        puts("hide window in imagewin");
        image.pixels = nullptr;
        glutHideWindow();
    }
    glutPostRedisplay();
}

void imagewin::Display() {
    if (image.pixels) {
        // The window's own height, so that row 0 is at the top edge even
        // when the window is larger than the picture.
        glRasterPos2f(0, float(height));
        glDrawPixels(image.width, image.height, bgra ? GL_BGRA_EXT : GL_RGBA, GL_UNSIGNED_BYTE,
                     image.pixels);
    } else {
        glClearColor(0.5f, 1.0f, 0.2f, 1.0f);
        glClear(GL_COLOR_BUFFER_BIT);
    }
}
