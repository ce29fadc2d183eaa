// The image window: pictures read back from the window (glReadPixels) and
// from the screen (XGetImage through the X server), pixel for pixel.
#include <gtest/gtest.h>

#include "imagewin.h"
#include "rgbaimage.h"
#include "winutil.h"

#include <GL/freeglut.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

using namespace winutil;

namespace {

const int kScreenW = 1280, kScreenH = 1024;  // the Xvfb screen of the tests

// A picture whose every pixel differs from its neighbours.
void Fill(rgbaimage& img) {
    for (int y = 0; y < img.height; ++y)
        for (int x = 0; x < img.width; ++x) {
            unsigned char* p = img.PixelAt(x, y);
            p[0] = (unsigned char)(x * 7 + y);
            p[1] = (unsigned char)(y * 5 + 3);
            p[2] = (unsigned char)((x ^ y) * 3);
            p[3] = 255;
        }
}

// The picture's RGB bytes of the top-left w x h part, top row first.
std::vector<unsigned char> Rgb(const imagebuf& img, int w, int h) {
    std::vector<unsigned char> rgb;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) rgb.insert(rgb.end(), img.PixelAt(x, y), img.PixelAt(x, y) + 3);
    return rgb;
}

// Index of the first differing pixel, or -1.
long FirstDifference(const std::vector<unsigned char>& a, const std::vector<unsigned char>& b) {
    if (a.size() != b.size()) return -2;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i]) return long(i / 3);
    return -1;
}

// Shows the picture in a window at the screen's top-left corner and steps
// the loop until the window has the picture's size and has been drawn.
void Show(imagewin& w, const imagebuf& picture) {
    glutSetWindow(w.id);
    glutPositionWindow(0, 0);
    w.SetImage(picture);
    ASSERT_TRUE(PumpUntil([&] { return w.width == picture.width && w.height == picture.height; }));
    PumpFor(60);
}

struct Size {
    int w, h;
};
void PrintTo(const Size& s, std::ostream* os) { *os << s.w << "x" << s.h; }

class ImageWindowSizes : public testing::TestWithParam<Size> {};

TEST_P(ImageWindowSizes, ShowsThePicturePixelForPixelFromTheTopLeft) {
    StdoutCapture out;
    rgbaimage picture(int16_t(GetParam().w), int16_t(GetParam().h));
    Fill(picture);
    imagewin w;
    Show(w, picture);
    EXPECT_EQ(w.image.pixels, picture.pixels);  // a view, not a copy
    EXPECT_EQ(glutGet(GLUT_WINDOW_WIDTH), picture.width);
    EXPECT_EQ(glutGet(GLUT_WINDOW_HEIGHT), picture.height);

    // What lies on the screen; a picture larger than the screen shows its
    // top-left part.
    int vw = std::min<int>(picture.width, kScreenW), vh = std::min<int>(picture.height, kScreenH);
    std::vector<unsigned char> want = Rgb(picture, vw, vh);
    if (picture.width <= kScreenW && picture.height <= kScreenH) {
        EXPECT_EQ(FirstDifference(ReadRgb(w.id, 0, 0, vw, vh), want), -1) << "window read-back";
    }
    EXPECT_EQ(FirstDifference(ScreenRgb(0, 0, vw, vh), want), -1) << "screen";
}

INSTANTIATE_TEST_SUITE_P(Sizes, ImageWindowSizes,
                         testing::Values(Size{320, 200}, Size{37, 23}, Size{1, 40}, Size{40, 1}, Size{101, 3},
                                         Size{1500, 1100}),
                         [](const testing::TestParamInfo<Size>& i) {
                             return std::to_string(i.param.w) + "x" + std::to_string(i.param.h);
                         });

class ImageWindowEmpty : public testing::TestWithParam<Size> {};

TEST_P(ImageWindowEmpty, HidesTheWindowForgetsThePixelsAndClearsToLightGreen) {
    StdoutCapture out;
    rgbaimage shown(20, 10);
    Fill(shown);
    imagewin w;
    Show(w, shown);
    Window xw = XWindowOf(w.id);
    ASSERT_TRUE(Viewable(xw));
    out.Take();

    std::vector<unsigned char> bytes(64, 9);
    imagebuf empty(bytes.data(), int16_t(GetParam().w), int16_t(GetParam().h));
    w.SetImage(empty);
    EXPECT_EQ(out.Take(), "hide window in imagewin\n");
    EXPECT_EQ(w.image.pixels, nullptr);
    EXPECT_EQ(w.image.width, GetParam().w);
    EXPECT_EQ(w.image.height, GetParam().h);
    EXPECT_TRUE(PumpUntil([&] { return !Viewable(xw); }));

    // Shown again from outside, the next redraw is the empty window's.
    glutSetWindow(w.id);
    glutShowWindow();
    ASSERT_TRUE(PumpUntil([&] { return Viewable(xw); }));
    glutPostRedisplay();
    PumpFor(60);
    auto rgb = ReadRgb(w.id, 0, 0, 20, 10);
    for (size_t i = 0; i < rgb.size(); i += 3) {
        ASSERT_NEAR(rgb[i], 128, 1) << "pixel " << i / 3;
        ASSERT_EQ(rgb[i + 1], 255);
        ASSERT_EQ(rgb[i + 2], 51);
    }
}

INSTANTIATE_TEST_SUITE_P(Degenerate, ImageWindowEmpty, testing::Values(Size{0, 0}, Size{320, 0}, Size{0, 5}),
                         [](const testing::TestParamInfo<Size>& i) {
                             return std::to_string(i.param.w) + "x" + std::to_string(i.param.h);
                         });

TEST(ImageWindow, StartsEmptyWithRgbaOrder) {
    StdoutCapture out;
    imagewin w;
    EXPECT_EQ(w.image.pixels, nullptr);
    EXPECT_EQ(w.image.width, 0);
    EXPECT_EQ(w.image.height, 0);
    EXPECT_FALSE(w.bgra);
    EXPECT_EQ(glutwin::FindWindow(w.id), &w);
}

TEST(ImageWindow, PictureStaysAnchoredTopLeftWhenTheWindowIsEnlarged) {
    StdoutCapture out;
    rgbaimage picture(40, 30);
    Fill(picture);
    imagewin w;
    Show(w, picture);
    // Resized from outside, as a user or window manager does.
    XResizeWindow(X(), XWindowOf(w.id), 100, 80);
    ASSERT_TRUE(PumpUntil([&] { return w.width == 100 && w.height == 80; }));
    glutSetWindow(w.id);
    glutPostRedisplay();
    PumpFor(60);
    EXPECT_EQ(FirstDifference(ReadRgb(w.id, 0, 0, 40, 30), Rgb(picture, 40, 30)), -1);
    EXPECT_EQ(FirstDifference(ScreenRgb(0, 0, 40, 30), Rgb(picture, 40, 30)), -1);
}

TEST(ImageWindow, BgraPicturesShowTheirTrueColours) {
    StdoutCapture out;
    rgbaimage picture(33, 17);
    Fill(picture);
    rgbaimage swapped(33, 17);
    for (int y = 0; y < 17; ++y)
        for (int x = 0; x < 33; ++x) {
            unsigned char* s = picture.PixelAt(x, y);
            unsigned char* d = swapped.PixelAt(x, y);
            d[0] = s[2];
            d[1] = s[1];
            d[2] = s[0];
            d[3] = s[3];
        }
    imagewin w;
    w.bgra = true;
    Show(w, swapped);
    EXPECT_EQ(FirstDifference(ReadRgb(w.id, 0, 0, 33, 17), Rgb(picture, 33, 17)), -1);
}

TEST(ImageWindow, ANewPictureReplacesTheOldOneAndResizes) {
    StdoutCapture out;
    rgbaimage first(50, 40), second(30, 20);
    Fill(first);
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 30; ++x) {
            unsigned char* p = second.PixelAt(x, y);
            p[0] = 200;
            p[1] = (unsigned char)x;
            p[2] = (unsigned char)y;
            p[3] = 255;
        }
    imagewin w;
    Show(w, first);
    Show(w, second);
    EXPECT_EQ(w.image.pixels, second.pixels);
    EXPECT_EQ(FirstDifference(ReadRgb(w.id, 0, 0, 30, 20), Rgb(second, 30, 20)), -1);
}

Window closing = 0;

TEST(ImageWindow, ClosingTheWindowReturnsFromTheLoopAndTheObjectCanBeDestroyed) {
    StdoutCapture out;
    rgbaimage picture(16, 16);
    Fill(picture);
    auto w = std::make_unique<imagewin>();
    int oldId = w->id;
    w->SetImage(picture);
    closing = XWindowOf(w->id);
    glutTimerFunc(200, [](int) { SendDelete(closing); }, 0);
    KeepGlDriverLoaded();  // GLUT closes its display on return
    glutMainLoop();
    EXPECT_FALSE(glutGet(GLUT_INIT_STATE));

    // A later window starts GLUT again; its GLUT id may be the old one's,
    // and destroying the old object must leave it alone.
    imagewin again;
    EXPECT_TRUE(glutGet(GLUT_INIT_STATE));
    EXPECT_EQ(again.id, oldId);
    char head[64];
    snprintf(head, sizeof head, "%p", static_cast<void*>(glutwin::Head()));
    out.Take();
    w.reset();
    EXPECT_EQ(out.Take(), std::string("windowlist remaining ") + head + "\n");
    EXPECT_EQ(glutwin::FindWindow(again.id), &again);
    Show(again, picture);
    EXPECT_TRUE(Viewable(XWindowOf(again.id)));
    EXPECT_EQ(FirstDifference(ReadRgb(again.id, 0, 0, 16, 16), Rgb(picture, 16, 16)), -1);
}

}  // namespace
