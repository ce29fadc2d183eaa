// TIFF: not written yet.
#include "codec.h"

namespace ifl0 {

static const char* const kEndings[] = {"tif", "tiff", nullptr};

static bool sniff(const uint8_t*, size_t) { return false; }

static iflStatus open(Bytes, Info&, std::unique_ptr<Reader>&, std::string& err) {
    err = "TIFF is not supported yet";
    return iflErrUnsupported;
}

const Codec tiffCodec = {"TIFF", kEndings, sniff, open, nullptr, 3};

}  // namespace ifl0
