/* orient.c IN.ppm ORIENTATION OUT.jxl: encodes a binary PPM (maxval 255)
 * losslessly with libjxl, with the codestream's orientation field set (cjxl
 * has no option for it). Built and run by make.sh. */
#include <jxl/encode.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv) {
    if (argc != 4) return 2;
    FILE* in = fopen(argv[1], "rb");
    unsigned w, h, max;
    if (!in || fscanf(in, "P6 %u %u %u", &w, &h, &max) != 3 || max != 255 || fgetc(in) == EOF) return 1;
    size_t size = (size_t)w * h * 3;
    unsigned char* px = malloc(size);
    if (!px || fread(px, 1, size, in) != size) return 1;
    JxlEncoder* enc = JxlEncoderCreate(NULL);
    JxlBasicInfo info;
    JxlEncoderInitBasicInfo(&info);
    info.xsize = w, info.ysize = h, info.bits_per_sample = 8, info.uses_original_profile = JXL_TRUE;
    info.orientation = (JxlOrientation)atoi(argv[2]);
    JxlColorEncoding srgb;
    JxlColorEncodingSetToSRGB(&srgb, JXL_FALSE);
    JxlPixelFormat format = {3, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
    JxlEncoderFrameSettings* settings = JxlEncoderFrameSettingsCreate(enc, NULL);
    if (JxlEncoderSetBasicInfo(enc, &info) || JxlEncoderSetColorEncoding(enc, &srgb) ||
        JxlEncoderSetFrameLossless(settings, JXL_TRUE) || JxlEncoderAddImageFrame(settings, &format, px, size))
        return 1;
    JxlEncoderCloseInput(enc);
    static unsigned char out[1 << 20];
    unsigned char* next = out;
    size_t avail = sizeof out;
    if (JxlEncoderProcessOutput(enc, &next, &avail) != JXL_ENC_SUCCESS) return 1;
    FILE* f = fopen(argv[3], "wb");
    return !f || fwrite(out, 1, sizeof out - avail, f) != sizeof out - avail || fclose(f);
}
