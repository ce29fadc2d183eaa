// PNM: not written yet.
#include "codec.h"

namespace ifl0 {

static const char* const kEndings[] = {"ppm", "pnm", nullptr};

static bool sniff(const uint8_t*, size_t) { return false; }

static iflStatus open(Bytes, Info&, std::unique_ptr<Reader>&, std::string& err) {
    err = "PNM is not supported yet";
    return iflErrUnsupported;
}

const Codec pnmCodec = {"PNM", kEndings, sniff, open, nullptr, 3};

static const char* const kPamEndings[] = {"pam", nullptr};
const Codec pamCodec = {"PAM", kPamEndings, nullptr, nullptr, nullptr, 4};
}  // namespace ifl0
