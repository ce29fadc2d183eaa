#define PICTRIX_GLAPI_BINDING
#include "glapi.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

namespace glapi {
namespace {

[[noreturn]] void Fail(const char* what) {
    fprintf(stderr, "glutwin: cannot load %s: %s\n", what, dlerror());
    exit(1);
}

// Debian's freeglut is libglut.so.3.12; other systems name it libglut.so.3.
// It stays loaded until the program ends.
Calls Bind() {
    void* handle = dlopen("libglut.so.3.12", RTLD_NOW | RTLD_GLOBAL);
    if (!handle) handle = dlopen("libglut.so.3", RTLD_NOW | RTLD_GLOBAL);
    if (!handle) Fail("GLUT");
    Calls calls;
    // freeglut links libGL, so its handle finds the GL calls as well.
#define PICTRIX_GL_BIND(name)                                                  \
    calls.name = reinterpret_cast<decltype(calls.name)>(dlsym(handle, #name)); \
    if (!calls.name) Fail(#name);
    PICTRIX_GL_CALLS(PICTRIX_GL_BIND)
#undef PICTRIX_GL_BIND
    return calls;
}

}  // namespace

const Calls& Get() {
    static const Calls calls = Bind();
    return calls;
}

}  // namespace glapi
