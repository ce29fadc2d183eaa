#include "codec.h"

namespace ifl0 {

// Tried in this order on reading; the first whose sniff accepts the file
// reads it. Write-only entries have no sniff.
const Codec* const kCodecs[] = {&jpegCodec, &pngCodec, &tiffCodec, &gifCodec,
                                &webpCodec, &bmpCodec, &pnmCodec,  &pamCodec};
const size_t kCodecCount = sizeof kCodecs / sizeof kCodecs[0];

}  // namespace ifl0
