// Helpers for the window tests: stepping freeglut's event loop, real input
// through the X server's XTest extension, and reading stdout of the code
// under test.
#ifndef TESTS_WINDOW_WINUTIL_H
#define TESTS_WINDOW_WINUTIL_H

#include <X11/Xlib.h>

#include <functional>
#include <string>
#include <vector>

class glutwin;

namespace winutil {

// Sends fd 1 to a file while it lives; Take() returns what was printed
// since the last Take().
class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture();
    std::string Take();

private:
    int saved_ = -1;
    int fd_ = -1;
    long offset_ = 0;
    std::string path_;
};

// How often line occurs as a whole line in text.
int CountLines(const std::string& text, const std::string& line);

// Runs freeglut's event loop one step at a time (plus the X server's
// round trips) until done() holds or timeoutMs passes; returns done().
bool PumpUntil(const std::function<bool()>& done, int timeoutMs = 5000);
// Steps the event loop for about ms milliseconds.
void PumpFor(int ms);

// The test's own connection to the X server, for input and inspection.
Display* X();
// The X window behind a GLUT window id.
Window XWindowOf(int glutId);
// Whether the X window is mapped and viewable.
bool Viewable(Window w);
// Top-left corner of the window in root coordinates.
void RootPosition(Window w, int& x, int& y);

// Input through XTest, synced with the server. Buttons are X's: 1 left,
// 2 middle, 3 right.
void MoveTo(int rootX, int rootY);
void Button(unsigned button, bool down);
void Key(unsigned long keysym, bool down);
void Click(unsigned button);
void Type(unsigned long keysym);
// Asks the window to close as a window manager's close button does: a
// WM_DELETE_WINDOW client message.
void SendDelete(Window w);

// Places a top-level glutwin at (x, y) with the given size and steps the
// loop until it is mapped and has seen that size.
void Place(glutwin& w, int x, int y, int width, int height);

// The window's pixels as RGB, top row first, read with glReadPixels.
std::vector<unsigned char> ReadRgb(int glutId, int x, int yFromTop, int w, int h);
// The same rectangle of the screen through the X server (XGetImage on the
// root window), RGB, top row first.
std::vector<unsigned char> ScreenRgb(int rootX, int rootY, int w, int h);

// Keeps the loaded OpenGL driver modules (Mesa's *_dri.so) in memory when
// GLUT closes its display, so that the leak checker can still name them:
// the software driver keeps allocations of its own until exit, which
// tests/window/lsan.supp lets pass.
void KeepGlDriverLoaded();

}  // namespace winutil

#endif
