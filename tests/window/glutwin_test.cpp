// The window base, its registry and its default handlers, driven through
// real freeglut windows and real input sent through the X server.
// gtest goes before the X headers, whose macros (None, Bool) clash with it.
#include <gtest/gtest.h>

#include "glutwin.h"
#include "winutil.h"

#include <GL/freeglut.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

#include <cstdio>
#include <memory>

using namespace winutil;

namespace {

std::string Addr(const void* p) {
    char buf[64];
    snprintf(buf, sizeof buf, "%p", p);
    return buf;
}

std::string WmName(Window w) {
    char* name = nullptr;
    std::string s = "<none>";
    if (XFetchName(X(), w, &name) && name) s = name;
    if (name) XFree(name);
    return s;
}

std::string IconName(Window w) {
    char* name = nullptr;
    std::string s = "<none>";
    if (XGetIconName(X(), w, &name) && name) s = name;
    if (name) XFree(name);
    return s;
}

Window ParentOf(Window w) {
    Window root, parent, *children = nullptr;
    unsigned n = 0;
    XQueryTree(X(), w, &root, &parent, &children, &n);
    if (children) XFree(children);
    return parent;
}

// Records what the trampolines hand over instead of switching events off.
struct Recorder : glutwin {
    int mouseCalls = 0, keyCalls = 0;
    int mouseModifiers = -1, keyModifiers = -1;
    int lastButton = -1, lastState = -1;
    unsigned char lastKey = 0;
    int reshapeArgW = -1, reshapeArgH = -1, fieldWDuring = -1, fieldHDuring = -1;

    void Mouse(int button, int state, int, int) override {
        ++mouseCalls;
        mouseModifiers = modifiers;
        lastButton = button;
        lastState = state;
    }
    void Keyboard(unsigned char key, int, int) override {
        ++keyCalls;
        keyModifiers = modifiers;
        lastKey = key;
    }
    void Reshape(int w, int h) override {
        reshapeArgW = w;
        reshapeArgH = h;
        fieldWDuring = width;
        fieldHDuring = height;
        glutwin::Reshape(w, h);
    }
};

TEST(GlutWindow, ConstructionValuesAndRegistration) {
    StdoutCapture out;
    glutwin w;
    EXPECT_GT(w.id, 0);
    EXPECT_EQ(w.title, "");
    EXPECT_EQ(w.width, 0);
    EXPECT_EQ(w.height, 0);
    EXPECT_EQ(w.parent, nullptr);
    EXPECT_EQ(w.leftState, 1);
    EXPECT_EQ(w.middleState, 1);
    EXPECT_EQ(w.rightState, 1);
    EXPECT_EQ(w.modifiers, 0);
    EXPECT_EQ(w.leftMenu, 0);
    EXPECT_EQ(w.middleMenu, 0);
    EXPECT_EQ(w.rightMenu, 0);
    EXPECT_EQ(w.idleInterval, 0);
    EXPECT_EQ(w.nextDue, 0);
    EXPECT_EQ(glutGetWindow(), w.id);
    EXPECT_EQ(glutwin::FindWindow(w.id), &w);
    EXPECT_EQ(glutwin::FindWindow(w.id + 1000), nullptr);
    ASSERT_NE(glutwin::Head(), nullptr);
    EXPECT_EQ(glutwin::Head()->window, &w);
    EXPECT_EQ(glutwin::Head()->id, w.id);
    EXPECT_EQ(glutwin::Head()->next, nullptr);
}

TEST(GlutWindow, DefaultDisplayPrintsItsAddressAndClearsToWhite) {
    StdoutCapture out;
    glutwin w;
    Place(w, 10, 10, 64, 48);
    out.Take();
    glutSetWindow(w.id);
    glutPostRedisplay();
    std::string text;
    ASSERT_TRUE(PumpUntil([&] { return (text += out.Take()).find("main display") != std::string::npos; }));
    EXPECT_EQ(CountLines(text, "main display " + Addr(&w)), 1) << text;
    auto rgb = ReadRgb(w.id, 0, 0, 64, 48);
    for (unsigned char c : rgb) ASSERT_EQ(c, 255);
}

TEST(GlutWindow, DefaultReshapePrintsAndSetsUpPixelExactProjection) {
    StdoutCapture out;
    glutwin w;
    Place(w, 10, 10, 200, 120);
    EXPECT_GE(CountLines(out.Take(), "base reshape"), 1);
    glutSetWindow(w.id);
    GLint vp[4];
    glGetIntegerv(GL_VIEWPORT, vp);
    EXPECT_EQ(vp[0], 0);
    EXPECT_EQ(vp[1], 0);
    EXPECT_EQ(vp[2], 200);
    EXPECT_EQ(vp[3], 120);
    GLfloat zoomX, zoomY, raster[4];
    glGetFloatv(GL_ZOOM_X, &zoomX);
    glGetFloatv(GL_ZOOM_Y, &zoomY);
    glGetFloatv(GL_CURRENT_RASTER_POSITION, raster);
    EXPECT_EQ(zoomX, 1.0f);
    EXPECT_EQ(zoomY, -1.0f);
    // Window coordinates of the raster position: the top-left corner.
    EXPECT_FLOAT_EQ(raster[0], 0.0f);
    EXPECT_FLOAT_EQ(raster[1], 120.0f);
    GLfloat proj[16];
    glGetFloatv(GL_PROJECTION_MATRIX, proj);
    EXPECT_FLOAT_EQ(proj[0], 2.0f / 200);
    EXPECT_FLOAT_EQ(proj[5], 2.0f / 120);
    EXPECT_FLOAT_EQ(proj[12], -1.0f);
    EXPECT_FLOAT_EQ(proj[13], -1.0f);
    GLint mode;
    glGetIntegerv(GL_MATRIX_MODE, &mode);
    EXPECT_EQ(mode, GL_MODELVIEW);
}

TEST(GlutWindow, ReshapeSeesTheOldSizeAndStoresTheNewOneAfter) {
    StdoutCapture out;
    Recorder w;
    Place(w, 0, 0, 300, 200);
    EXPECT_EQ(w.reshapeArgW, 300);
    glutSetWindow(w.id);
    glutReshapeWindow(640, 480);
    ASSERT_TRUE(PumpUntil([&] { return w.reshapeArgW == 640 && w.reshapeArgH == 480; }));
    EXPECT_EQ(w.fieldWDuring, 300);
    EXPECT_EQ(w.fieldHDuring, 200);
    EXPECT_EQ(w.width, 640);
    EXPECT_EQ(w.height, 480);
}

TEST(GlutWindow, BaseMouseHandlerIsOneShot) {
    StdoutCapture out;
    glutwin w;
    Place(w, 20, 20, 100, 100);
    out.Take();
    MoveTo(60, 60);
    Click(1);
    Click(1);
    Click(3);
    PumpFor(150);
    std::string text = out.Take();
    EXPECT_EQ(CountLines(text, "base moouse"), 1) << text;
    // The release never reached the window: the state stays down.
    EXPECT_EQ(w.leftState, 0);
    EXPECT_EQ(w.rightState, 1);
}

TEST(GlutWindow, BaseMotionHandlerIsOneShot) {
    StdoutCapture out;
    glutwin w;
    Place(w, 20, 20, 100, 100);
    MoveTo(40, 40);
    Button(1, true);
    for (int i = 0; i < 5; ++i) MoveTo(45 + i * 5, 50);
    Button(1, false);
    Button(1, true);
    MoveTo(70, 70);
    MoveTo(75, 75);
    Button(1, false);
    PumpFor(150);
    std::string text = out.Take();
    EXPECT_EQ(CountLines(text, "base motion"), 1) << text;
    EXPECT_EQ(CountLines(text, "base moouse"), 1) << text;
}

TEST(GlutWindow, BaseKeyboardHandlerIsOneShot) {
    StdoutCapture out;
    glutwin w;
    Place(w, 20, 20, 100, 100);
    MoveTo(60, 60);
    Type(XK_a);
    Type(XK_b);
    Type(XK_c);
    PumpFor(150);
    std::string text = out.Take();
    EXPECT_EQ(CountLines(text, "base keyboard"), 1) << text;
}

TEST(GlutWindow, MouseAndKeyboardRecordModifiersAndButtonStates) {
    StdoutCapture out;
    Recorder w;
    Place(w, 20, 20, 100, 100);
    MoveTo(60, 60);
    Key(XK_Shift_L, true);
    Button(1, true);
    ASSERT_TRUE(PumpUntil([&] { return w.mouseCalls == 1; }));
    EXPECT_EQ(w.mouseModifiers, GLUT_ACTIVE_SHIFT);
    EXPECT_EQ(w.leftState, 0);
    EXPECT_EQ(w.lastButton, 0);
    EXPECT_EQ(w.lastState, 0);
    Button(1, false);
    Key(XK_Shift_L, false);
    ASSERT_TRUE(PumpUntil([&] { return w.mouseCalls == 2; }));
    EXPECT_EQ(w.leftState, 1);

    Button(3, true);
    ASSERT_TRUE(PumpUntil([&] { return w.mouseCalls == 3; }));
    EXPECT_EQ(w.rightState, 0);
    EXPECT_EQ(w.mouseModifiers, 0);
    Button(3, false);
    ASSERT_TRUE(PumpUntil([&] { return w.mouseCalls == 4; }));
    EXPECT_EQ(w.rightState, 1);
    EXPECT_EQ(w.middleState, 1);

    Key(XK_Control_L, true);
    Type(XK_a);
    Key(XK_Control_L, false);
    ASSERT_TRUE(PumpUntil([&] { return w.keyCalls == 1; }));
    EXPECT_EQ(w.keyModifiers, GLUT_ACTIVE_CTRL);
    EXPECT_EQ(w.modifiers, GLUT_ACTIVE_CTRL);
    EXPECT_EQ(w.lastKey, 1);  // Ctrl-A

    Type(XK_x);
    ASSERT_TRUE(PumpUntil([&] { return w.keyCalls == 2; }));
    EXPECT_EQ(w.modifiers, 0);
    EXPECT_EQ(w.lastKey, 'x');
}

TEST(GlutWindow, ScrollWheelButtonsReachTheHandlerButChangeNoState) {
    StdoutCapture out;
    Recorder w;
    Place(w, 20, 20, 100, 100);
    MoveTo(60, 60);
    Click(4);
    ASSERT_TRUE(PumpUntil([&] { return w.mouseCalls >= 1; }));
    EXPECT_EQ(w.lastButton, 3);
    EXPECT_EQ(w.leftState, 1);
    EXPECT_EQ(w.middleState, 1);
    EXPECT_EQ(w.rightState, 1);
}

TEST(GlutWindow, DestroyingTwoWindowsPrintsTheRemainingHead) {
    StdoutCapture out;
    auto first = std::make_unique<glutwin>();
    auto second = std::make_unique<glutwin>();
    windowlist* secondNode = glutwin::Head();
    ASSERT_EQ(secondNode->window, second.get());
    ASSERT_EQ(secondNode->next->window, first.get());
    int firstId = first->id;
    Window firstX = XWindowOf(firstId);
    out.Take();

    first.reset();
    std::string text = out.Take();
    EXPECT_EQ(text.substr(text.find("windowlist")), "windowlist remaining " + Addr(secondNode) + "\n");
    EXPECT_EQ(glutwin::FindWindow(firstId), nullptr);
    EXPECT_EQ(glutwin::Head(), secondNode);
    XWindowAttributes attrs;
    PumpFor(50);
    // The X window is gone with its object.
    int (*old)(Display*, XErrorEvent*) = XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
    EXPECT_FALSE(XGetWindowAttributes(X(), firstX, &attrs));
    XSetErrorHandler(old);

    second.reset();
    text = out.Take();
    EXPECT_EQ(text.substr(text.find("windowlist")), "windowlist remaining " + Addr(nullptr) + "\n");
    EXPECT_EQ(glutwin::Head(), nullptr);
}

TEST(GlutWindow, SetTitleNamesATopLevelWindow) {
    StdoutCapture out;
    glutwin w;
    Place(w, 0, 0, 100, 100);
    w.SetTitle("pictures");
    Window xw = XWindowOf(w.id);
    PumpUntil([&] { return WmName(xw) == "pictures"; }, 2000);
    EXPECT_EQ(WmName(xw), "pictures");
    EXPECT_EQ(IconName(xw), "pictures");
    EXPECT_EQ(w.title, "pictures");
}

TEST(GlutWindow, SubWindowsAre100SquareAt100AndShowNoTitle) {
    StdoutCapture out;
    glutwin top;
    Place(top, 0, 0, 400, 300);
    top.SetTitle("outer");
    glutwin::BeginSubWindows(&top);
    glutwin sub1;
    glutwin sub2;
    glutwin::EndSubWindows();
    glutwin later;
    PumpFor(50);

    Window topX = XWindowOf(top.id);
    for (glutwin* sub : {&sub1, &sub2}) {
        EXPECT_EQ(sub->parent, &top);
        Window subX = XWindowOf(sub->id);
        EXPECT_EQ(ParentOf(subX), topX);
        Window root;
        int x, y;
        unsigned w, h, border, depth;
        XGetGeometry(X(), subX, &root, &x, &y, &w, &h, &border, &depth);
        EXPECT_EQ(x, 100);
        EXPECT_EQ(y, 100);
        EXPECT_EQ(w, 100u);
        EXPECT_EQ(h, 100u);
    }
    Window sub1X = XWindowOf(sub1.id);
    std::string subName = WmName(sub1X), subIcon = IconName(sub1X);
    sub1.SetTitle("inner");
    PumpFor(100);
    EXPECT_EQ(sub1.title, "inner");
    EXPECT_EQ(WmName(topX), "outer");
    EXPECT_EQ(IconName(topX), "outer");
    EXPECT_EQ(WmName(sub1X), subName);
    EXPECT_EQ(IconName(sub1X), subIcon);

    EXPECT_EQ(later.parent, nullptr);
    EXPECT_EQ(ParentOf(XWindowOf(later.id)), DefaultRootWindow(X()));
}

TEST(GlutWindow, BeginSubWindowsWithoutArgumentTakesTheCurrentWindowsObject) {
    StdoutCapture out;
    glutwin top;
    glutSetWindow(top.id);
    glutwin::BeginSubWindows(nullptr);
    glutwin sub;
    EXPECT_EQ(sub.parent, &top);

    // A GLUT window made outside the framework has no object.
    int foreign = glutCreateWindow("foreign");
    glutSetWindow(foreign);
    glutwin::BeginSubWindows(nullptr);
    glutwin loose;
    glutwin::EndSubWindows();
    EXPECT_EQ(loose.parent, nullptr);
    EXPECT_EQ(ParentOf(XWindowOf(loose.id)), DefaultRootWindow(X()));
    glutDestroyWindow(foreign);
}

TEST(GlutWindow, ParentDestroyedWhileSubWindowsAreOnGivesTopLevelWindows) {
    StdoutCapture out;
    auto top = std::make_unique<glutwin>();
    glutwin::BeginSubWindows(top.get());
    top.reset();
    glutwin orphan;
    glutwin::EndSubWindows();
    EXPECT_EQ(orphan.parent, nullptr);
    EXPECT_EQ(ParentOf(XWindowOf(orphan.id)), DefaultRootWindow(X()));
}

}  // namespace
