// A window that shows one RGBA picture pixel for pixel, top row at the top,
// sized to the picture.
#ifndef PC_PICTRIX_IMAGEWIN_H
#define PC_PICTRIX_IMAGEWIN_H

#include "glutwin.h"
#include "rgbaimage.h"

class imagewin : public glutwin {
public:
    imagebuf image;  // a view of the shown picture; the owner keeps it valid
    bool bgra;       // pixels are blue, green, red, alpha instead of RGBA

    imagewin();
    ~imagewin() override;

    // Shows picture (a view, not a copy) and resizes the window to it; a
    // picture with a side of 0 hides the window and is not kept.
    void SetImage(imagebuf picture);
    // Draws the picture from the top-left corner without clearing first;
    // without a picture, clears to light green.
    void Display() override;
};

#endif
