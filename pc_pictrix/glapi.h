// The GLUT and OpenGL calls of the window classes and the driver, bound on
// first use to libraries opened at that moment. A run that only converts
// pictures so never maps GLUT, GL and the X libraries, whose loading alone
// takes longer than converting a small picture.
//
// Each name below becomes a macro for its bound pointer, so code that
// includes this header reads as plain GLUT. Include it in .cpp files only,
// never in an installed header.
#pragma once

#include <GL/freeglut.h>

#define PICTRIX_GL_CALLS(X)                                                                       \
    X(glutInit) X(glutSetOption) X(glutGet) X(glutMainLoop) X(glutCreateWindow)                    \
    X(glutCreateSubWindow) X(glutDestroyWindow) X(glutSetWindow) X(glutGetWindow)                  \
    X(glutSetWindowTitle) X(glutSetIconTitle) X(glutShowWindow) X(glutHideWindow)                  \
    X(glutReshapeWindow) X(glutPostRedisplay) X(glutDisplayFunc) X(glutReshapeFunc)               \
    X(glutMouseFunc) X(glutMotionFunc) X(glutKeyboardFunc) X(glutIdleFunc) X(glutTimerFunc)        \
    X(glutGetModifiers) X(glutCreateMenu) X(glutSetMenu) X(glutGetMenu) X(glutAttachMenu)          \
    X(glutAddSubMenu) X(glFlush) X(glClearColor) X(glClear) X(glViewport) X(glMatrixMode)         \
    X(glLoadIdentity) X(glOrtho) X(glRasterPos2f) X(glPixelZoom) X(glDrawPixels)

namespace glapi {

struct Calls {
#define PICTRIX_GL_POINTER(name) decltype(&::name) name;
    PICTRIX_GL_CALLS(PICTRIX_GL_POINTER)
#undef PICTRIX_GL_POINTER
};

// The bound calls. The first use opens the libraries; where they or one of
// the calls are missing, the program ends with one line on stderr and
// status 1, as GLUT itself does without a display.
const Calls& Get();

}  // namespace glapi

// Left out where the calls are bound.
#ifndef PICTRIX_GLAPI_BINDING
#define glutInit (glapi::Get().glutInit)
#define glutSetOption (glapi::Get().glutSetOption)
#define glutGet (glapi::Get().glutGet)
#define glutMainLoop (glapi::Get().glutMainLoop)
#define glutCreateWindow (glapi::Get().glutCreateWindow)
#define glutCreateSubWindow (glapi::Get().glutCreateSubWindow)
#define glutDestroyWindow (glapi::Get().glutDestroyWindow)
#define glutSetWindow (glapi::Get().glutSetWindow)
#define glutGetWindow (glapi::Get().glutGetWindow)
#define glutSetWindowTitle (glapi::Get().glutSetWindowTitle)
#define glutSetIconTitle (glapi::Get().glutSetIconTitle)
#define glutShowWindow (glapi::Get().glutShowWindow)
#define glutHideWindow (glapi::Get().glutHideWindow)
#define glutReshapeWindow (glapi::Get().glutReshapeWindow)
#define glutPostRedisplay (glapi::Get().glutPostRedisplay)
#define glutDisplayFunc (glapi::Get().glutDisplayFunc)
#define glutReshapeFunc (glapi::Get().glutReshapeFunc)
#define glutMouseFunc (glapi::Get().glutMouseFunc)
#define glutMotionFunc (glapi::Get().glutMotionFunc)
#define glutKeyboardFunc (glapi::Get().glutKeyboardFunc)
#define glutIdleFunc (glapi::Get().glutIdleFunc)
#define glutTimerFunc (glapi::Get().glutTimerFunc)
#define glutGetModifiers (glapi::Get().glutGetModifiers)
#define glutCreateMenu (glapi::Get().glutCreateMenu)
#define glutSetMenu (glapi::Get().glutSetMenu)
#define glutGetMenu (glapi::Get().glutGetMenu)
#define glutAttachMenu (glapi::Get().glutAttachMenu)
#define glutAddSubMenu (glapi::Get().glutAddSubMenu)
#define glFlush (glapi::Get().glFlush)
#define glClearColor (glapi::Get().glClearColor)
#define glClear (glapi::Get().glClear)
#define glViewport (glapi::Get().glViewport)
#define glMatrixMode (glapi::Get().glMatrixMode)
#define glLoadIdentity (glapi::Get().glLoadIdentity)
#define glOrtho (glapi::Get().glOrtho)
#define glRasterPos2f (glapi::Get().glRasterPos2f)
#define glPixelZoom (glapi::Get().glPixelZoom)
#define glDrawPixels (glapi::Get().glDrawPixels)
#endif
