// resize: loads a picture, scales it to a new size and saves it, using the
// installed pictrix libraries.
//
//   resize IN OUT WIDTH HEIGHT
//
// OUT's ending picks the format. Exit status 0 on success, 1 when IN cannot
// be loaded or OUT cannot be written, 2 on bad arguments.
#include <imagefile.h>
#include <rgbaimage.h>

#include <cstdio>
#include <cstdlib>

namespace {

// A side length the picture model can hold, or 0.
int ParseSide(const char* text) {
    char* end = nullptr;
    long v = strtol(text, &end, 10);
    return *text && !*end && v > 0 && v <= 32767 ? int(v) : 0;
}

}  // namespace

int main(int argc, char** argv) {
    int width = argc == 5 ? ParseSide(argv[3]) : 0;
    int height = argc == 5 ? ParseSide(argv[4]) : 0;
    if (width == 0 || height == 0) {
        fprintf(stderr, "usage: resize IN OUT WIDTH HEIGHT (sides 1 to 32767)\n");
        return 2;
    }
    rgbaimage image;
    LoadImage(argv[1], image);
    if (image.width == 0 || image.height == 0) return 1;
    printf("%s: %d x %d -> %d x %d\n", argv[1], image.width, image.height, width, height);
    image.Resize(int16_t(width), int16_t(height));
    return SaveImage(argv[2], image) ? 0 : 1;
}
