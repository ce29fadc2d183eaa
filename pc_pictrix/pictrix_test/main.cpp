// pictrix: loads a picture, reports its size, then converts it to a second
// file or shows it in a window.
//
// Exit status: 0 after a successful run, 1 when the input could not be
// loaded or the output could not be written, 2 after the usage line.
#include "glapi.h"
#include "imagefile.h"
#include "imagewin.h"
#include "rgbaimage.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>

int main(int argc, char** argv) {
    if (argc < 2) {
        printf("Usage: pictrix <filename> [new image format filename]\n");
        exit(2);
    }
    rgbaimage image;
    LoadImage(argv[1], image);
    std::cout << "\nImage Size X: " << image.width << " Y: " << image.height << "\n\n" << std::flush;
    // Every alpha byte 255, row by row, each row in one vectorised pass.
    for (int y = 0; y < image.height; ++y) SetAlphaOpaque(image.PixelAt(0, y), size_t(image.width));

    int status = image.width > 0 && image.height > 0 ? 0 : 1;
    if (argc > 2 && image.width > 0 && image.height > 0) {
        if (!SaveImage(argv[2], image)) status = 1;
    } else if (image.width > 0 || image.height > 0) {
        // The window only points into the picture, so it is destroyed first,
        // at the end of this block.
        imagewin window;
        window.SetImage(image);
        // Returns once the user has closed the window.
        glutMainLoop();
        status = 0;
    }
    return status;
}
