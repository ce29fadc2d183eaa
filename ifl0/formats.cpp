#include "codec.h"

namespace ifl0 {

#define IFL0_CODEC_ADDRESS(name) &name##Codec,
const Codec* const kCodecs[kCodecCount] = {IFL0_FORMATS(IFL0_CODEC_ADDRESS)};
#undef IFL0_CODEC_ADDRESS

}  // namespace ifl0
