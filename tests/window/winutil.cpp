#include "winutil.h"

#include "glutwin.h"

#include <GL/freeglut.h>
#include <GL/glx.h>
#include <X11/extensions/XTest.h>
#include <X11/Xutil.h>

#include <chrono>
#include <cstring>
#include <dlfcn.h>
#include <link.h>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

namespace winutil {

StdoutCapture::StdoutCapture() {
    char tmpl[] = "/tmp/wincapXXXXXX";
    fd_ = mkstemp(tmpl);
    path_ = tmpl;
    fflush(stdout);
    saved_ = dup(1);
    dup2(fd_, 1);
}

StdoutCapture::~StdoutCapture() {
    fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
    close(fd_);
    unlink(path_.c_str());
}

std::string StdoutCapture::Take() {
    fflush(stdout);
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = pread(fd_, buf, sizeof buf, offset_)) > 0) {
        out.append(buf, size_t(n));
        offset_ += n;
    }
    return out;
}

int CountLines(const std::string& text, const std::string& line) {
    int count = 0;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        if (text.compare(start, end - start, line) == 0) ++count;
        start = end + 1;
    }
    return count;
}

bool PumpUntil(const std::function<bool()>& done, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        XSync(X(), False);
        glutMainLoopEvent();
        if (done()) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

void PumpFor(int ms) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    PumpUntil([&] { return std::chrono::steady_clock::now() >= until; }, ms + 1000);
}

Display* X() {
    static Display* d = XOpenDisplay(nullptr);
    if (!d) {
        fprintf(stderr, "no X server: DISPLAY is not usable\n");
        abort();
    }
    return d;
}

Window XWindowOf(int glutId) {
    glutSetWindow(glutId);
    return glXGetCurrentDrawable();
}

bool Viewable(Window w) {
    XWindowAttributes a;
    if (!XGetWindowAttributes(X(), w, &a)) return false;
    return a.map_state == IsViewable;
}

void RootPosition(Window w, int& x, int& y) {
    Window child;
    XTranslateCoordinates(X(), w, DefaultRootWindow(X()), 0, 0, &x, &y, &child);
}

void MoveTo(int rootX, int rootY) {
    XTestFakeMotionEvent(X(), DefaultScreen(X()), rootX, rootY, CurrentTime);
    XSync(X(), False);
}

void Button(unsigned button, bool down) {
    XTestFakeButtonEvent(X(), button, down, CurrentTime);
    XSync(X(), False);
}

void Key(unsigned long keysym, bool down) {
    XTestFakeKeyEvent(X(), XKeysymToKeycode(X(), keysym), down, CurrentTime);
    XSync(X(), False);
}

void Click(unsigned button) {
    Button(button, true);
    Button(button, false);
}

void Type(unsigned long keysym) {
    Key(keysym, true);
    Key(keysym, false);
}

void SendDelete(Window w) {
    XEvent ev = {};
    ev.xclient.type = ClientMessage;
    ev.xclient.window = w;
    ev.xclient.message_type = XInternAtom(X(), "WM_PROTOCOLS", False);
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = long(XInternAtom(X(), "WM_DELETE_WINDOW", False));
    ev.xclient.data.l[1] = CurrentTime;
    XSendEvent(X(), w, False, NoEventMask, &ev);
    XSync(X(), False);
}

void Place(glutwin& w, int x, int y, int width, int height) {
    glutSetWindow(w.id);
    glutPositionWindow(x, y);
    glutReshapeWindow(width, height);
    Window xw = XWindowOf(w.id);
    PumpUntil([&] {
        int rx, ry;
        RootPosition(xw, rx, ry);
        return Viewable(xw) && w.width == width && w.height == height && rx == x && ry == y;
    });
}

std::vector<unsigned char> ReadRgb(int glutId, int x, int yFromTop, int w, int h) {
    glutSetWindow(glutId);
    glFinish();
    int winH = glutGet(GLUT_WINDOW_HEIGHT);
    std::vector<unsigned char> rgba(size_t(w) * h * 4);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadBuffer(GL_FRONT);
    glReadPixels(x, winH - yFromTop - h, w, h, GL_RGBA, GL_UNSIGNED_BYTE, rgba.data());
    std::vector<unsigned char> rgb(size_t(w) * h * 3);
    for (int r = 0; r < h; ++r)
        for (int c = 0; c < w; ++c)
            for (int k = 0; k < 3; ++k)
                rgb[(size_t(r) * w + c) * 3 + k] = rgba[(size_t(h - 1 - r) * w + c) * 4 + k];
    return rgb;
}

static int ShiftOf(unsigned long mask) {
    int s = 0;
    while (mask && !(mask & 1)) {
        mask >>= 1;
        ++s;
    }
    return s;
}

std::vector<unsigned char> ScreenRgb(int rootX, int rootY, int w, int h) {
    XSync(X(), False);
    // A rectangle off the screen is an X error; report it as no picture.
    int (*old)(Display*, XErrorEvent*) = XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
    XImage* img = XGetImage(X(), DefaultRootWindow(X()), rootX, rootY, unsigned(w), unsigned(h), AllPlanes,
                            ZPixmap);
    XSync(X(), False);
    XSetErrorHandler(old);
    std::vector<unsigned char> rgb;
    if (!img) return rgb;
    rgb.resize(size_t(w) * h * 3);
    for (int r = 0; r < h; ++r)
        for (int c = 0; c < w; ++c) {
            unsigned long p = XGetPixel(img, c, r);
            unsigned char* o = &rgb[(size_t(r) * w + c) * 3];
            o[0] = (unsigned char)((p & img->red_mask) >> ShiftOf(img->red_mask));
            o[1] = (unsigned char)((p & img->green_mask) >> ShiftOf(img->green_mask));
            o[2] = (unsigned char)((p & img->blue_mask) >> ShiftOf(img->blue_mask));
        }
    XDestroyImage(img);
    return rgb;
}

void KeepGlDriverLoaded() {
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void*) {
            if (info->dlpi_name && strstr(info->dlpi_name, "_dri.so"))
                dlopen(info->dlpi_name, RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE);
            return 0;
        },
        nullptr);
}

}  // namespace winutil
