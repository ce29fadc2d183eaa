// Pop-up menus per mouse button: real menus opened with a real button press
// through the X server, an entry chosen by releasing the button over it.
#include <gtest/gtest.h>

#include "glutwin.h"
#include "winutil.h"

#include <GL/freeglut.h>

#include <vector>

using namespace winutil;

namespace {

struct Selection {
    int whichMenu, value;
};

struct MenuWindow : glutwin {
    std::vector<Selection> selections;
    void Menu(int whichMenu, int value) override {
        selections.push_back({whichMenu, value});
        glutwin::Menu(whichMenu, value);
    }
};

struct Rect {
    int x = 0, y = 0, w = 0, h = 0;
};

// The viewable override-redirect windows on the screen: freeglut's open menus.
std::vector<Rect> OpenMenus() {
    std::vector<Rect> menus;
    Window root, parent, *children = nullptr;
    unsigned n = 0;
    XQueryTree(X(), DefaultRootWindow(X()), &root, &parent, &children, &n);
    for (unsigned i = 0; i < n; ++i) {
        XWindowAttributes a;
        if (XGetWindowAttributes(X(), children[i], &a) && a.override_redirect && a.map_state == IsViewable)
            menus.push_back({a.x, a.y, a.width, a.height});
    }
    if (children) XFree(children);
    return menus;
}

// The middle of entry i of a menu with n entries.
void PointAtEntry(const Rect& menu, int i, int n) {
    MoveTo(menu.x + menu.w / 2, menu.y + menu.h * (2 * i + 1) / (2 * n));
}

struct Menus : testing::Test {
    StdoutCapture out;
    MenuWindow w;

    void SetUp() override { Place(w, 200, 200, 300, 300); }

    // Presses and releases the X button inside the window; the menu opens
    // on the press and stays open.
    Rect Open(unsigned xButton) {
        MoveTo(300, 300);
        Button(xButton, true);
        std::vector<Rect> menus;
        PumpUntil([&] { return (menus = OpenMenus()).size() == 1; });
        Button(xButton, false);
        PumpFor(30);
        EXPECT_EQ(menus.size(), 1u);
        return menus.empty() ? Rect() : menus[0];
    }

    // Points at entry i of n and clicks it.
    void Choose(const Rect& menu, int i, int n, unsigned xButton) {
        PointAtEntry(menu, i, n);
        PumpFor(30);
        Click(xButton);
    }
};

TEST_F(Menus, RightButtonMenuSelectionArrivesWithItsButtonAndValue) {
    w.ActivateMenu(2);
    glutAddMenuEntry("first", 11);
    glutAddMenuEntry("second", 22);
    glutAddMenuEntry("third", 33);
    EXPECT_EQ(w.GetMMenuIDMenu(2), w.rightMenu);
    EXPECT_NE(w.rightMenu, 0);
    EXPECT_EQ(w.GetMMenuIDMenu(1), 0);
    EXPECT_EQ(w.GetMMenuIDMenu(0), 0);
    out.Take();

    Rect menu = Open(3);
    Choose(menu, 1, 3, 3);
    ASSERT_TRUE(PumpUntil([&] { return !w.selections.empty(); }));
    EXPECT_EQ(w.selections[0].whichMenu, 2);
    EXPECT_EQ(w.selections[0].value, 22);
    std::string text = out.Take();
    EXPECT_NE(text.find("RIGHT_BUTTON mnuem 2whichMenu2 value:22\n"), std::string::npos) << text;
    PumpFor(50);
    EXPECT_TRUE(OpenMenus().empty());
}

TEST_F(Menus, SubMenuEntriesArriveWithThirteen) {
    w.ActivateMenu(0);
    glutAddMenuEntry("top", 1);
    int sub = w.AddSubMenu("more");
    EXPECT_EQ(glutGetMenu(), sub);
    EXPECT_NE(sub, w.leftMenu);
    glutAddMenuEntry("inner a", 7);
    glutAddMenuEntry("inner b", 8);
    out.Take();

    Rect menu = Open(1);
    PointAtEntry(menu, 1, 2);
    std::vector<Rect> menus;
    ASSERT_TRUE(PumpUntil([&] { return (menus = OpenMenus()).size() == 2; }));
    Rect inner = menus[0].x == menu.x && menus[0].y == menu.y ? menus[1] : menus[0];
    Choose(inner, 1, 2, 1);
    ASSERT_TRUE(PumpUntil([&] { return !w.selections.empty(); }));
    EXPECT_EQ(w.selections[0].whichMenu, 13);
    EXPECT_EQ(w.selections[0].value, 8);
    std::string text = out.Take();
    EXPECT_NE(text.find("MENU BUTTON ERROR (Submenu?)\nmnuem 13whichMenu13 value:8\n"), std::string::npos)
        << text;
}

TEST_F(Menus, DeactivateLeavesTheMenuAttached) {
    w.ActivateMenu(2);
    glutAddMenuEntry("only", 5);
    int id = w.rightMenu;
    out.Take();
    w.DeactivateMenu(2);
    EXPECT_EQ(out.Take(), "menu deactivation not written yet\n");
    EXPECT_EQ(w.GetMMenuIDMenu(2), id);

    Rect menu = Open(3);
    Choose(menu, 0, 1, 3);
    ASSERT_TRUE(PumpUntil([&] { return !w.selections.empty(); }));
    EXPECT_EQ(w.selections[0].whichMenu, 2);
    EXPECT_EQ(w.selections[0].value, 5);
}

TEST_F(Menus, ActivatingTwiceReplacesTheIdAndTheAttachedMenu) {
    w.ActivateMenu(1);
    int firstMenu = w.middleMenu;
    glutAddMenuEntry("old", 1);
    w.ActivateMenu(1);
    glutAddMenuEntry("new", 2);
    EXPECT_NE(w.middleMenu, firstMenu);
    EXPECT_EQ(w.GetMMenuIDMenu(1), w.middleMenu);
    // The first menu still exists.
    glutSetMenu(firstMenu);
    EXPECT_EQ(glutGetMenu(), firstMenu);

    Rect menu = Open(2);
    Choose(menu, 0, 1, 2);
    ASSERT_TRUE(PumpUntil([&] { return !w.selections.empty(); }));
    EXPECT_EQ(w.selections[0].whichMenu, 1);
    EXPECT_EQ(w.selections[0].value, 2);
}

TEST_F(Menus, UnknownButtonsPrintErrorsAndStoreNothing) {
    out.Take();
    w.ActivateMenu(5);
    EXPECT_EQ(out.Take(), "ActivateMenu: Err: unknown button specified\n");
    EXPECT_EQ(w.leftMenu, 0);
    EXPECT_EQ(w.middleMenu, 0);
    EXPECT_EQ(w.rightMenu, 0);
    EXPECT_EQ(w.GetMMenuIDMenu(5), 0);
    EXPECT_EQ(out.Take(), "GetMMenuIDMenu: Err: unknown button specified\n");
    EXPECT_EQ(w.GetMMenuIDMenu(-1), 0);
    EXPECT_EQ(out.Take(), "GetMMenuIDMenu: Err: unknown button specified\n");
}

TEST(DefaultMenu, PrintsTheButtonLabelAndTheSelection) {
    StdoutCapture out;
    glutwin w;
    out.Take();
    w.Menu(0, 5);
    EXPECT_EQ(out.Take(), "LEFT_BUTTON mnuem 0whichMenu0 value:5\n");
    w.Menu(1, -3);
    EXPECT_EQ(out.Take(), "MIDDLE_BUTTON mnuem 1whichMenu1 value:-3\n");
    w.Menu(2, 0);
    EXPECT_EQ(out.Take(), "RIGHT_BUTTON mnuem 2whichMenu2 value:0\n");
    w.Menu(13, 42);
    EXPECT_EQ(out.Take(), "MENU BUTTON ERROR (Submenu?)\nmnuem 13whichMenu13 value:42\n");
    w.Menu(-1, 1);
    EXPECT_EQ(out.Take(), "MENU BUTTON ERROR (Submenu?)\nmnuem -1whichMenu-1 value:1\n");
}

}  // namespace
