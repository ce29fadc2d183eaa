// Reading image files into pictures and writing pictures to image files,
// through the ifl0 image-file library.
#ifndef PC_PICTRIX_IMAGEFILE_H
#define PC_PICTRIX_IMAGEFILE_H

#include "rgbaimage.h"

// True when path can be examined with stat; a failure other than a missing
// file is reported with perror.
bool FileExists(const char* path);

// Replaces image with the picture in path, opaque, top row first; leaves it
// 0 by 0 when the file cannot be read. Failures are reported on the console.
void LoadImage(const char* path, rgbaimage& image);

// Writes image to name; the ending picks the writer variant and the library
// picks the format. Returns whether the file was written.
bool SaveImage(const char* name, rgbaimage& image);

// The writer variants: a file channel count and a channel list each.
bool WriteJpg(const char* name, rgbaimage& image);
bool WritePpm(const char* name, rgbaimage& image);
bool WriteJpgSwapped(const char* name, rgbaimage& image);
bool WriteRgb(const char* name, rgbaimage& image);
bool WritePpmSwapped(const char* name, rgbaimage& image);

#endif
