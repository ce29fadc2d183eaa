// Prints the fuzz targets the format table gives: one per format the
// library reads (its name in lower case, also its seed folder's name), then
// "write" for the writers.
#include "codec.h"

#include <cctype>
#include <cstdio>

int main() {
    for (size_t i = 0; i < ifl0::kCodecCount; ++i) {
        if (!ifl0::kCodecs[i]->open) continue;
        for (const char* p = ifl0::kCodecs[i]->name; *p; ++p) putchar(tolower(static_cast<unsigned char>(*p)));
        putchar('\n');
    }
    puts("write");
    return 0;
}
