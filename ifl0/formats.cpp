#include "codec.h"

namespace ifl0 {

#define IFL0_CODEC_ADDRESS(name) &name##Codec,
const Codec* const kCodecs[] = {IFL0_FORMATS(IFL0_CODEC_ADDRESS)};
#undef IFL0_CODEC_ADDRESS
const size_t kCodecCount = sizeof kCodecs / sizeof kCodecs[0];

}  // namespace ifl0
