#define PICTRIX_GLAPI_BINDING
#include "glapi.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

namespace glapi {
namespace {

// Debian's freeglut is libglut.so.3.12; other systems name it libglut.so.3.
// It stays loaded until the program ends.
void* Open(const char* const* names) {
    for (const char* const* n = names; *n; ++n)
        if (void* handle = dlopen(*n, RTLD_NOW | RTLD_GLOBAL)) return handle;
    fprintf(stderr, "glutwin: cannot load %s: %s\n", names[0], dlerror());
    exit(1);
}

Calls Bind() {
    static const char* const glut[] = {"libglut.so.3.12", "libglut.so.3", nullptr};
    void* handle = Open(glut);
    Calls calls;
    // freeglut links libGL, so its handle finds the GL calls as well.
#define PICTRIX_GL_BIND(name)                                                         \
    calls.name = reinterpret_cast<decltype(calls.name)>(dlsym(handle, #name));        \
    if (!calls.name) {                                                                \
        fprintf(stderr, "glutwin: cannot load %s: %s\n", #name, dlerror());           \
        exit(1);                                                                      \
    }
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
