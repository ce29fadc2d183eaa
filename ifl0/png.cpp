// PNG: not written yet.
#include "codec.h"

namespace ifl0 {

static const char* const kEndings[] = {"png", nullptr};

static bool sniff(const uint8_t*, size_t) { return false; }

static iflStatus open(Bytes, Info&, std::unique_ptr<Reader>&, std::string& err) {
    err = "PNG is not supported yet";
    return iflErrUnsupported;
}

const Codec pngCodec = {"PNG", kEndings, sniff, open, nullptr, 3};

}  // namespace ifl0
