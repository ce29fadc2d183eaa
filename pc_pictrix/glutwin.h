// A small window framework on GLUT: each glutwin object owns one GLUT
// window and receives that window's callbacks in its virtual handlers.
// Everything runs on the thread that runs GLUT's event loop.
#ifndef PC_PICTRIX_GLUTWIN_H
#define PC_PICTRIX_GLUTWIN_H

#include <string>

class glutwin;

// One node per live window object; new nodes go in at the head.
struct windowlist {
    glutwin* window;
    int id;  // the window's GLUT window id
    windowlist* next;
};

class glutwin {
public:
    std::string title;   // the last text given to SetTitle
    int id;              // GLUT window id
    int height;          // size last reported by GLUT's reshape callback
    int width;
    glutwin* parent;     // the window this one is a sub-window of, or null
    int leftState;       // last state GLUT reported per button: 0 down, 1 up
    int middleState;
    int rightState;
    int modifiers;       // GLUT modifier mask of the last mouse or key event
    int leftMenu;        // menu ids per button; 0 for none
    int middleMenu;
    int rightMenu;
    int idleInterval;    // 0: whenever idle, > 0: every so many ms, < 0: never
    int nextDue;         // NowMs() time of the next timed Idle call

    // Creates the GLUT window (a sub-window while BeginSubWindows is in
    // force) and registers this object; initialises GLUT on first use.
    glutwin();
    // Destroys the GLUT window (if GLUT still has it) and unregisters.
    virtual ~glutwin();
    glutwin(const glutwin&) = delete;
    glutwin& operator=(const glutwin&) = delete;

    // Stores text; a top-level window also shows it as window and icon title.
    virtual void SetTitle(const char* text);
    // Default: stops further idle calls and prints "glutwin idle".
    virtual void Idle();
    // Default: prints "main display <address>" and clears to white.
    virtual void Display();
    // Default: one unit per pixel, origin at the lower left, raster position
    // at the top-left corner and rows drawn downwards. Prints "base reshape".
    // The width and height fields still hold the previous size here.
    virtual void Reshape(int width, int height);
    // Defaults of the input handlers print a trace line and switch their
    // event off for this window (one-shot).
    virtual void Mouse(int button, int state, int x, int y);
    virtual void Keyboard(unsigned char key, int x, int y);
    virtual void Motion(int x, int y);
    // Default: prints which button's menu (0, 1, 2; 13 for any other menu)
    // and the entry's value.
    virtual void Menu(int whichMenu, int value);

    // 0: Idle whenever the event loop is idle; > 0: Idle about every ms
    // milliseconds; < 0: no Idle calls.
    void SetIdleInterval(int ms);

    // Creates a menu and attaches it to a button (0 left, 1 middle, 2 right)
    // of GLUT's current window; the menu becomes GLUT's current menu.
    void ActivateMenu(int button);
    // Not available: prints a notice and leaves the menu attached.
    void DeactivateMenu(int button);
    // Adds a sub-menu under GLUT's current menu, makes it current and
    // returns its id.
    int AddSubMenu(const char* label);
    // The menu id stored for a button, 0 when none.
    int GetMMenuIDMenu(int button);

    // The live window object with this GLUT id, or null.
    static glutwin* FindWindow(int id);
    // Windows constructed from now on are 100 by 100 sub-windows at
    // (100, 100) of parent; null means the object of GLUT's current window.
    static void BeginSubWindows(glutwin* parent);
    // Windows constructed from now on are top-level.
    static void EndSubWindows();
    // The head of the registry (the most recently constructed live window).
    static windowlist* Head();
};

// Milliseconds on a monotonic clock counted from early in the run, as a
// wrapping signed 32-bit value.
int NowMs();

// The scheduling decisions, separate from GLUT so that they can be run
// against any clock. The dispatchers hand them the registry and NowMs.
namespace glutsched {

// The soonest due time assumed when no timed window is waiting.
constexpr int kNoneDue = 1000000000;

// A window with interval 0 is served by every idle pass.
bool IdleDue(const glutwin& w);
// A timed window is served once its due time lies strictly before now.
bool TimerDue(const glutwin& w, int now);
// How long the timer waits: soonest - now in wrapping arithmetic, clamped
// to 1 .. 250 ms.
int TimerWait(int soonest, int now);
// Calls serve on every window with interval 0, from the head; returns
// whether any was served.
bool IdlePass(windowlist* head, void (*serve)(glutwin&));
// Serves every due timed window (its next due time counted from now), then
// returns the wait until the next pass; the clock is read again after the
// calls.
int TimerPass(windowlist* head, int (*clock)(), void (*serve)(glutwin&));

}  // namespace glutsched

#endif
