#include "glutwin.h"

#include "glapi.h"

#include <chrono>
#include <cstdint>
#include <cstdio>

namespace {

windowlist* listHead = nullptr;
glutwin* newWindowParent = nullptr;
bool timerStarted = false;

// Taken during static initialisation, so NowMs starts near 0 and stays far
// below glutsched::kNoneDue for days.
const std::chrono::steady_clock::time_point clockStart = std::chrono::steady_clock::now();

int WrapAdd(int a, int b) { return int(uint32_t(a) + uint32_t(b)); }
int WrapSub(int a, int b) { return int(uint32_t(a) - uint32_t(b)); }

void IdleDispatcher();
void TimerDispatcher(int);

// GLUT is initialised by the first window, never earlier, so that a run
// that only converts needs no display. The program's own arguments are file
// names, never GLUT options. After glutMainLoop has returned GLUT is shut
// down; a later window starts it again, and windows of the old session no
// longer have a GLUT window.
void EnsureGlut() {
    if (glutGet(GLUT_INIT_STATE)) return;
    for (windowlist* n = listHead; n; n = n->next) n->id = n->window->id = -1;
    timerStarted = false;
    static char name[] = "pictrix";
    char* argv[] = {name, nullptr};
    int argc = 1;
    glutInit(&argc, argv);
    // Closing a window ends glutMainLoop instead of the process, so the
    // owner can destroy its objects.
    glutSetOption(GLUT_ACTION_ON_WINDOW_CLOSE, GLUT_ACTION_GLUTMAINLOOP_RETURNS);
}

// The one look-up all trampolines share: the object of GLUT's current window.
glutwin* CurrentObject() { return glutwin::FindWindow(glutGetWindow()); }

void DisplayTrampoline() {
    if (glutwin* w = CurrentObject()) {
        w->Display();
        // Single-buffered drawing reaches the screen only once flushed.
        glFlush();
    }
}

void ReshapeTrampoline(int width, int height) {
    if (glutwin* w = CurrentObject()) {
        w->Reshape(width, height);
        w->width = width;
        w->height = height;
    }
}

void MouseTrampoline(int button, int state, int x, int y) {
    if (glutwin* w = CurrentObject()) {
        w->modifiers = glutGetModifiers();
        if (button == 0) w->leftState = state;
        if (button == 1) w->middleState = state;
        if (button == 2) w->rightState = state;
        w->Mouse(button, state, x, y);
    }
}

void MotionTrampoline(int x, int y) {
    if (glutwin* w = CurrentObject()) w->Motion(x, y);
}

void KeyboardTrampoline(unsigned char key, int x, int y) {
    if (glutwin* w = CurrentObject()) {
        w->modifiers = glutGetModifiers();
        w->Keyboard(key, x, y);
    }
}

void MenuTrampoline(int value) {
    glutwin* w = CurrentObject();
    if (!w) return;
    int m = glutGetMenu();
    if (m == 0) return;
    int whichMenu = 13;
    if (m == w->leftMenu)
        whichMenu = 0;
    else if (m == w->middleMenu)
        whichMenu = 1;
    else if (m == w->rightMenu)
        whichMenu = 2;
    w->Menu(whichMenu, value);
}

void ServeWindow(glutwin& w) {
    glutSetWindow(w.id);
    w.Idle();
}

void IdleDispatcher() {
    if (!glutsched::IdlePass(listHead, ServeWindow)) glutIdleFunc(nullptr);
}

void TimerDispatcher(int) {
    glutTimerFunc(unsigned(glutsched::TimerPass(listHead, NowMs, ServeWindow)), TimerDispatcher, 0);
}

}  // namespace

int NowMs() {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                    clockStart).count();
    return int(uint32_t(uint64_t(ms)));
}

namespace glutsched {

bool IdleDue(const glutwin& w) { return w.idleInterval == 0; }

bool TimerDue(const glutwin& w, int now) { return w.idleInterval > 0 && w.nextDue < now; }

int TimerWait(int soonest, int now) {
    int wait = WrapSub(soonest, now);
    if (wait > 250) wait = 250;
    if (wait < 1) wait = 1;
    return wait;
}

bool IdlePass(windowlist* head, void (*serve)(glutwin&)) {
    bool served = false;
    for (windowlist* n = head; n;) {
        glutwin& w = *n->window;
        if (IdleDue(w)) {
            serve(w);
            served = true;
        }
        n = n->next;
    }
    return served;
}

int TimerPass(windowlist* head, int (*clock)(), void (*serve)(glutwin&)) {
    int now = clock();
    int soonest = kNoneDue;
    for (windowlist* n = head; n;) {
        glutwin& w = *n->window;
        if (TimerDue(w, now)) {
            // Counted from now: a late call is followed by one interval, not
            // by catch-up calls.
            w.nextDue = WrapAdd(now, w.idleInterval);
            serve(w);
        }
        // Idle may have changed the interval.
        if (w.idleInterval > 0 && w.nextDue < soonest) soonest = w.nextDue;
        n = n->next;
    }
    return TimerWait(soonest, clock());
}

}  // namespace glutsched

glutwin::glutwin() {
    title.clear();
    EnsureGlut();
    // A parent whose GLUT window is gone cannot take sub-windows.
    glutwin* p = newWindowParent && newWindowParent->id > 0 ? newWindowParent : nullptr;
    if (p)
        id = glutCreateSubWindow(p->id, 100, 100, 100, 100);
    else
        id = glutCreateWindow("");
    listHead = new windowlist{this, id, listHead};
    height = 0;
    width = 0;
    parent = p;
    leftState = middleState = rightState = 1;
    modifiers = 0;
    leftMenu = middleMenu = rightMenu = 0;
    idleInterval = 0;
    nextDue = 0;
    glutDisplayFunc(DisplayTrampoline);
    glutReshapeFunc(ReshapeTrampoline);
    glutMouseFunc(MouseTrampoline);
    glutIdleFunc(IdleDispatcher);
    glutKeyboardFunc(KeyboardTrampoline);
    glutMotionFunc(MotionTrampoline);
}

glutwin::~glutwin() {
    // After glutMainLoop has returned GLUT is shut down and has destroyed
    // every window itself.
    if (id > 0 && glutGet(GLUT_INIT_STATE)) glutDestroyWindow(id);
    // Windows constructed later must not use this one as their parent.
    if (newWindowParent == this) newWindowParent = nullptr;
    for (windowlist** link = &listHead; *link; link = &(*link)->next) {
        windowlist* n = *link;
        if (n->window != this) continue;
        *link = n->next;
        delete n;
        printf("windowlist remaining %p\n", static_cast<void*>(listHead));
        break;
    }
}

void glutwin::SetTitle(const char* text) {
    if (!parent) {
        glutSetWindow(id);
        glutSetWindowTitle(text);
        glutSetIconTitle(text);
    }
    title = text;
}

void glutwin::Idle() {
    SetIdleInterval(-1);
    puts("glutwin idle");
}

void glutwin::Display() {
    printf("main display %p\n", static_cast<void*>(this));
    glClearColor(1, 1, 1, 1);
    glClear(GL_COLOR_BUFFER_BIT);
}

void glutwin::Reshape(int width, int height) {
    glViewport(0, 0, width, height);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glOrtho(0, width, 0, height, -1, 1);
    glRasterPos2f(0, float(height));
    glPixelZoom(1, -1);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    puts("base reshape");
}

void glutwin::Mouse(int, int, int, int) {
    glutMouseFunc(nullptr);
    puts("base moouse");
}

void glutwin::Keyboard(unsigned char, int, int) {
    glutKeyboardFunc(nullptr);
    puts("base keyboard");
}

void glutwin::Motion(int, int) {
    glutMotionFunc(nullptr);
    puts("base motion");
}

void glutwin::Menu(int whichMenu, int value) {
    switch (whichMenu) {
    case 0: printf("LEFT_BUTTON "); break;
    case 1: printf("MIDDLE_BUTTON "); break;
    case 2: printf("RIGHT_BUTTON "); break;
    default: puts("MENU BUTTON ERROR (Submenu?)"); break;
    }
    printf("mnuem %dwhichMenu%d value:%d\n", whichMenu, whichMenu, value);
    fflush(stdout);
}

void glutwin::SetIdleInterval(int ms) {
    idleInterval = ms;
    nextDue = WrapAdd(NowMs(), ms);
    if (ms == 0) glutIdleFunc(IdleDispatcher);
    if (ms > 0 && !timerStarted) {
        timerStarted = true;
        glutTimerFunc(unsigned(ms), TimerDispatcher, 0);
    }
}

void glutwin::ActivateMenu(int button) {
    int menu = glutCreateMenu(MenuTrampoline);
    // GLUT defines only buttons 0, 1 and 2; freeglut is not handed others.
    switch (button) {
    case 0: glutAttachMenu(button); leftMenu = menu; break;
    case 1: glutAttachMenu(button); middleMenu = menu; break;
    case 2: glutAttachMenu(button); rightMenu = menu; break;
    default:
        puts("ActivateMenu: Err: unknown button specified");
        fflush(stdout);
        break;
    }
}

void glutwin::DeactivateMenu(int) {
    puts("menu deactivation not written yet");
    fflush(stdout);
}

int glutwin::AddSubMenu(const char* label) {
    int outer = glutGetMenu();
    int sub = glutCreateMenu(MenuTrampoline);
    glutSetMenu(outer);
    glutAddSubMenu(label, sub);
    glutSetMenu(sub);
    return sub;
}

int glutwin::GetMMenuIDMenu(int button) {
    switch (button) {
    case 0: return leftMenu;
    case 1: return middleMenu;
    case 2: return rightMenu;
    default:
        puts("GetMMenuIDMenu: Err: unknown button specified");
        fflush(stdout);
        return 0;
    }
}

glutwin* glutwin::FindWindow(int id) {
    for (windowlist* n = listHead; n; n = n->next)
        if (n->id == id) return n->window;
    return nullptr;
}

void glutwin::BeginSubWindows(glutwin* p) {
    if (!p && glutGet(GLUT_INIT_STATE)) p = FindWindow(glutGetWindow());
    newWindowParent = p;
}

void glutwin::EndSubWindows() { newWindowParent = nullptr; }

windowlist* glutwin::Head() { return listHead; }
