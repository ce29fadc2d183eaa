// HEIF (HEVC) and AVIF (AV1) through libheif, which is opened on first use:
// a run that converts other formats never maps it or its codecs (libde265,
// x265, dav1d, aom).
//
// Reading: the primary image as libheif decodes it, grids assembled and the
// item transformations (rotation, mirror, clean-aperture crop) applied once,
// in their order; an EXIF orientation stored beside them is not applied.
// Alpha comes from the auxiliary alpha image; 10- and 12-bit samples are
// rounded to the nearest 8-bit value here; an ICC profile or an nclx colour
// description goes to the core's colour step.
//
// Writing: 8-bit 4:2:0. HEVC at libheif's quality 50 with x265's
// "ultrafast" preset, AV1 at quality 72 with aom's speed 6, on all cores:
// for a 20 MP photograph, about 41 and 40 dB PSNR against its quality 90
// JPEG in under half its size, in about 2 s each on two cores. Slower
// presets cost seconds for files a few per cent smaller at the same PSNR.
#include "stills.h"
#include "codec.h"

#include <libheif/heif.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace ifl0 {
namespace {

#define IFL0_HEIF_CALLS(X)                                                                                    \
    X(heif_init) X(heif_context_alloc) X(heif_context_free) X(heif_context_read_from_memory_without_copy)      \
    X(heif_context_set_maximum_image_size_limit) X(heif_context_get_primary_image_handle)                     \
    X(heif_image_handle_release) X(heif_image_handle_get_width) X(heif_image_handle_get_height)               \
    X(heif_image_handle_get_ispe_width) X(heif_image_handle_get_ispe_height)                                  \
    X(heif_image_handle_has_alpha_channel) X(heif_image_handle_get_luma_bits_per_pixel)                       \
    X(heif_image_handle_get_color_profile_type) X(heif_image_handle_get_raw_color_profile_size)               \
    X(heif_image_handle_get_raw_color_profile) X(heif_image_handle_get_nclx_color_profile)                    \
    X(heif_nclx_color_profile_free) X(heif_decoding_options_alloc) X(heif_decoding_options_free)              \
    X(heif_decode_image) X(heif_image_get_plane_readonly) X(heif_image_get_width) X(heif_image_get_height)    \
    X(heif_image_get_bits_per_pixel_range) X(heif_image_release) X(heif_context_get_encoder_for_format)        \
    X(heif_encoder_set_lossy_quality) X(heif_encoder_set_parameter) X(heif_encoder_release)                   \
    X(heif_image_create) X(heif_image_add_plane) X(heif_image_get_plane) X(heif_encoding_options_alloc)        \
    X(heif_encoding_options_free) X(heif_context_encode_image) X(heif_context_write)

struct Api {
#define IFL0_HEIF_POINTER(name) decltype(&::name) name = nullptr;
    IFL0_HEIF_CALLS(IFL0_HEIF_POINTER)
#undef IFL0_HEIF_POINTER
};

// libheif's calls, bound the first time a HEIF or AVIF file is read or
// written; null with err set when libheif cannot be loaded.
const Api* api(std::string& err) {
    static std::string failure;
    static const Api* const calls = []() -> const Api* {
        static const char* const kNames[] = {"libheif.so.1", nullptr};
        void* library = openLibrary("libheif", kNames, failure);
        if (!library) return nullptr;
        static Api bound;
#define IFL0_HEIF_BIND(name)                                                                                \
    bound.name = reinterpret_cast<decltype(bound.name)>(librarySymbol(library, "libheif", #name, failure)); \
    if (!bound.name) return nullptr;
        IFL0_HEIF_CALLS(IFL0_HEIF_BIND)
#undef IFL0_HEIF_BIND
        bound.heif_init(nullptr);
        return &bound;
    }();
    if (!calls) err = failure;
    return calls;
}


// True when the file starts with an ftyp box whose major or compatible
// brands include one of brands.
bool hasBrand(const uint8_t* p, size_t n, std::initializer_list<const char*> brands) {
    if (n < 16 || memcmp(p + 4, "ftyp", 4) != 0) return false;
    const size_t box = std::min<size_t>(be32(p), n);
    auto listed = [&](const uint8_t* b) {
        for (const char* brand : brands)
            if (memcmp(b, brand, 4) == 0) return true;
        return false;
    };
    if (listed(p + 8)) return true;
    for (size_t at = 16; at + 4 <= box; at += 4)
        if (listed(p + at)) return true;
    return false;
}

bool sniffAvif(const uint8_t* p, size_t n) { return hasBrand(p, n, {"avif", "avis"}); }

bool sniffHeif(const uint8_t* p, size_t n) {
    return !sniffAvif(p, n) &&
           hasBrand(p, n, {"heic", "heix", "hevc", "hevx", "heim", "heis", "hevm", "hevs", "mif1", "msf1"});
}

iflStatus failed(const heif_error& e, std::string& err) {
    err = e.message && *e.message ? e.message : "libheif error " + std::to_string(int(e.code));
    switch (e.code) {
    case heif_error_Memory_allocation_error:
        return e.subcode == heif_suberror_Security_limit_exceeded ? iflErrTooLarge : iflErrNoMemory;
    case heif_error_Unsupported_feature:
    case heif_error_Unsupported_filetype:
    case heif_error_Encoder_plugin_error:
        return iflErrUnsupported;
    default:
        return iflErrCorrupt;
    }
}

// A cursor over one box's payload; every read is bounds-checked and a
// failed one leaves the cursor failed.
struct BoxReader {
    const uint8_t* p;
    size_t n, at = 0;
    bool ok = true;
    uint64_t take(size_t bytes) {
        if (!ok || bytes > n - at) {
            ok = false;
            return 0;
        }
        uint64_t v = 0;
        for (size_t i = 0; i < bytes; ++i) v = v << 8 | p[at++];
        return v;
    }
};

// The boxes inside [p, p + n), read as libheif reads them: calls
// f(type, payload, size) for each. A box whose size is smaller than its
// header (0, "to the end", included) is its header alone, and the next box
// follows it; a box that runs past the end ends the list.
template <typename F>
void eachBox(const uint8_t* p, size_t n, F&& f) {
    for (size_t at = 0; n - at >= 8;) {
        uint64_t size = be32(p + at), head = 8;
        if (size == 1) {
            if (n - at < 16) return;
            size = uint64_t(be32(p + at + 8)) << 32 | be32(p + at + 12), head = 16;
        }
        if (memcmp(p + at + 4, "uuid", 4) == 0) head += 16;
        if (size < head) size = head;
        if (size > n - at) return;
        f(p + at + 4, p + at + head, size_t(size - head));
        at += size_t(size);
    }
}

// A width and a height; the larger of two is the one with the longer side.
struct Size {
    int64_t width = 0, height = 0;
    void keepLarger(int64_t w, int64_t h) {
        if (std::max(w, h) > std::max(width, height)) width = w, height = h;
    }
};

void codecConfigSize(const uint8_t* type, const uint8_t* p, size_t n, Size& largest);

// An item's bytes: its extents (libheif allows up to 32) read as one run,
// without copying them together.
class ItemData {
public:
    void add(const uint8_t* p, size_t n) {
        spans_.push_back({p, n});
        size_ += n;
    }
    uint64_t size() const { return size_; }
    void append(const ItemData& more) {
        for (const auto& s : more.spans_) add(s.first, s.second);
    }
    // Copies up to n bytes from position at; returns how many there were.
    size_t copy(uint64_t at, uint8_t* out, size_t n) const {
        size_t got = 0;
        for (const auto& s : spans_) {
            if (got == n) break;
            if (at >= s.second) {
                at -= s.second;
                continue;
            }
            const size_t k = std::min<uint64_t>(n - got, s.second - at);
            memcpy(out + got, s.first + at, k);
            got += k;
            at = 0;
        }
        return got;
    }

private:
    std::vector<std::pair<const uint8_t*, size_t>> spans_;
    uint64_t size_ = 0;
};

bool hevcSize(const uint8_t* nal, size_t n, int64_t& width, int64_t& height);
bool av1Size(const uint8_t* obu, size_t n, int64_t& width, int64_t& height);

// Enough of a parameter set or sequence header for its picture size.
constexpr size_t kHeaderBytes = 4096;

// Keeps the larger of largest and every picture size that AV1 sequence
// header OBUs in data declare.
void av1Sizes(const ItemData& data, Size& largest) {
    uint8_t head[kHeaderBytes];
    for (uint64_t at = 0; at < data.size();) {
        const size_t got = data.copy(at, head, 10);
        if (got < 1) return;
        const uint8_t header = head[0];
        size_t pos = 1 + ((header >> 2) & 1);
        uint64_t size = data.size() - at;
        if (header & 2) {  // a LEB128 size follows
            size = 0;
            for (int i = 0;; ++i) {
                if (pos >= got || i == 8) return;
                size |= uint64_t(head[pos] & 0x7f) << (7 * i);
                if (!(head[pos++] & 0x80)) break;
            }
        }
        if (pos > data.size() - at || size > data.size() - at - pos) return;
        if ((header >> 3 & 15) == 1) {
            int64_t w = 0, h = 0;
            const size_t n = data.copy(at + pos, head, size_t(std::min<uint64_t>(size, kHeaderBytes)));
            if (av1Size(head, n, w, h)) largest.keepLarger(w, h);
        }
        at += pos + size;
    }
}

// The same for the HEVC sequence parameter sets among data's NAL units,
// each after a 4-byte length, as libheif hands them to the decoder.
void hevcSizes(const ItemData& data, Size& largest) {
    uint8_t head[kHeaderBytes];
    for (uint64_t at = 0; data.size() - at >= 4;) {
        data.copy(at, head, 4);
        const uint64_t length = be32(head);
        at += 4;
        if (length > data.size() - at) return;
        if (length >= 2 && data.copy(at, head, 1) == 1 && (head[0] >> 1 & 0x3f) == 33) {
            int64_t w = 0, h = 0;
            const size_t n = data.copy(at, head, size_t(std::min<uint64_t>(length, kHeaderBytes)));
            if (hevcSize(head, n, w, h)) largest.keepLarger(w, h);
        }
        at += length;
    }
}

// The sizes a file declares, which libheif and its decoders allocate
// before decoding, whatever the primary item's ispe says: every item's ispe
// (tiles, alpha, thumbnails), every codec configuration's; and, for the
// items that decoding the primary picture reaches (its tiles, its alpha),
// the sizes in their coded data, grid and overlay canvases; and whether
// every such grid is covered by its tiles.
struct Declared;

// The primary picture when its codec can decode it without libheif: one
// AV1 or HEVC image, or a grid of HEVC ones, with no alpha and no
// properties but their size, depth, codec configuration, colour and pixel
// aspect; none when it is anything else.
struct Direct {
    enum Kind { none, av1, hevc } kind = none;
    int columns = 1, tileWidth = 0, tileHeight = 0, width = 0, height = 0;
    struct Tile {
        const uint8_t* config;  // av1C's OBUs, or hvcC's whole payload
        size_t configSize;
        ItemData data;
        std::unique_ptr<Ycbcr> nclx;  // its colr box's nclx matrix and range
    };
    std::vector<Tile> tiles;  // along the rows
};

struct Declared {
    Size item, canvas, coded;
    std::string uncovered;  // why a grid's tiles do not cover it
    int metaBoxes = 0;
    Direct direct;  // of the last meta box
};

// The boxes of the meta box that locate and relate the items.
struct MetaBoxes {
    const uint8_t *pitm = nullptr, *iinf = nullptr, *iloc = nullptr, *idat = nullptr, *iref = nullptr,
                  *ipma = nullptr;
    size_t pitmSize = 0, iinfSize = 0, ilocSize = 0, idatSize = 0, irefSize = 0, ipmaSize = 0;
    struct Property {
        std::string type;
        const uint8_t* p;
        size_t n;
        int64_t width, height;  // an ispe's, else 0 by 0
    };
    std::vector<Property> properties;  // the first ipco's children
};

// The properties (indices into m.properties) that ipma gives item.
std::vector<size_t> propertiesOf(const MetaBoxes& m, uint32_t item) {
    std::vector<size_t> found;
    BoxReader p{m.ipma, m.ipma ? m.ipmaSize : 0};
    const uint32_t head = uint32_t(p.take(4));
    const bool wideIds = head >> 24 >= 1, wideIndex = head & 1;
    const uint64_t entries = p.take(4);
    for (uint64_t i = 0; i < entries && p.ok; ++i) {
        const uint32_t id = uint32_t(p.take(wideIds ? 4 : 2));
        const uint64_t count = p.take(1);
        for (uint64_t k = 0; k < count && p.ok; ++k) {
            const uint64_t index = p.take(wideIndex ? 2 : 1) & (wideIndex ? 0x7fff : 0x7f);
            if (id == item && index >= 1 && index <= m.properties.size()) found.push_back(size_t(index - 1));
        }
    }
    return found;
}

struct Reference {
    uint8_t type[4];
    uint32_t from, to;
};

// The item types from iinf's infe entries (version 2 and 3).
std::vector<std::pair<uint32_t, std::string>> itemTypes(const MetaBoxes& m) {
    std::vector<std::pair<uint32_t, std::string>> types;
    BoxReader info{m.iinf, m.iinfSize};
    const unsigned version = unsigned(info.take(4) >> 24);
    info.take(version == 0 ? 2 : 4);
    if (!info.ok) return types;
    eachBox(m.iinf + info.at, m.iinfSize - info.at, [&](const uint8_t* type, const uint8_t* p, size_t n) {
        BoxReader e{p, n};
        const unsigned v = unsigned(e.take(4) >> 24);
        if (memcmp(type, "infe", 4) != 0 || v < 2) return;
        const uint32_t id = uint32_t(e.take(v == 2 ? 2 : 4));
        e.take(2);
        if (e.ok && n - e.at >= 4) types.emplace_back(id, std::string(reinterpret_cast<const char*>(p + e.at), 4));
    });
    return types;
}

// Every reference of iref, one per target.
std::vector<Reference> references(const MetaBoxes& m) {
    std::vector<Reference> refs;
    BoxReader r{m.iref, m.irefSize};
    const bool wideIds = r.take(4) >> 24 >= 1;
    if (!r.ok) return refs;
    eachBox(m.iref + r.at, m.irefSize - r.at, [&](const uint8_t* type, const uint8_t* p, size_t n) {
        BoxReader e{p, n};
        const uint32_t from = uint32_t(e.take(wideIds ? 4 : 2));
        const uint64_t count = e.take(2);
        for (uint64_t k = 0; k < count && e.ok; ++k) {
            Reference ref{{type[0], type[1], type[2], type[3]}, from, uint32_t(e.take(wideIds ? 4 : 2))};
            if (e.ok) refs.push_back(ref);
        }
    });
    return refs;
}

// Each item's data from iloc. Field sizes other than 4 and 8 bytes are read
// as absent, an extent's index only from version 2 on, and idat extents on
// past the box's end, as libheif reads them; extents outside the file are
// left out.
std::vector<std::pair<uint32_t, ItemData>> itemData(const MetaBoxes& m, Bytes in) {
    std::vector<std::pair<uint32_t, ItemData>> items;
    BoxReader loc{m.iloc, m.ilocSize};
    const unsigned v = unsigned(loc.take(4) >> 24);
    const unsigned sizes = unsigned(loc.take(2));
    auto field = [](unsigned bytes) -> size_t { return bytes == 4 || bytes == 8 ? bytes : 0; };
    const size_t offsetSize = field(sizes >> 12), lengthSize = field(sizes >> 8 & 15),
                 baseSize = field(sizes >> 4 & 15), indexSize = v >= 2 ? field(sizes & 15) : 0;
    const uint64_t count = loc.take(v < 2 ? 2 : 4);
    for (uint64_t i = 0; i < count && loc.ok; ++i) {
        const uint32_t id = uint32_t(loc.take(v < 2 ? 2 : 4));
        const unsigned method = v >= 1 ? unsigned(loc.take(2)) & 15 : 0;
        loc.take(2);
        const uint64_t base = loc.take(baseSize);
        const uint64_t extents = loc.take(2);
        const uint8_t* data = method == 0 ? in.data : method == 1 ? m.idat : nullptr;
        const size_t dataSize = method == 0 ? in.size : m.idat ? in.size - size_t(m.idat - in.data) : 0;
        ItemData item;
        for (uint64_t k = 0; k < extents && loc.ok; ++k) {
            loc.take(indexSize);
            const uint64_t offset = loc.take(offsetSize), length = loc.take(lengthSize);
            if (data && base <= dataSize && offset <= dataSize - base && length <= dataSize - base - offset)
                item.add(data + base + offset, size_t(length));
        }
        if (loc.ok) items.emplace_back(id, std::move(item));
    }
    return items;
}

// The H.273 matrix and range of a colr box's nclx description; false for
// an ICC profile.
bool nclxOf(const uint8_t* p, size_t n, Ycbcr& c) {
    if (n < 11 || memcmp(p, "nclx", 4) != 0) return false;
    c.matrix = p[8] << 8 | p[9];
    c.fullRange = p[10] & 0x80;
    return true;
}

template <typename TypeOf>
Direct directOf(const MetaBoxes& m, uint32_t primary, const std::string& type, const std::vector<Reference>& refs,
                const std::vector<std::pair<uint32_t, ItemData>>& data, TypeOf typeOf) {
    Direct d;
    std::vector<uint32_t> tiles;
    for (const Reference& r : refs) {
        if (memcmp(r.type, "auxl", 4) == 0 && r.to == primary) return d;  // alpha
        if (memcmp(r.type, "dimg", 4) == 0 && r.from == primary) tiles.push_back(r.to);
    }
    // Its properties are plain; config gets the codec configuration's.
    auto plain = [&](uint32_t item, const char* codec, Direct::Tile* tile) {
        for (size_t k : propertiesOf(m, item)) {
            const MetaBoxes::Property& property = m.properties[k];
            if (tile && property.type == codec && property.n >= 4 && !tile->config) {
                const size_t skip = property.type == "av1C" ? 4 : 0;
                tile->config = property.p + skip, tile->configSize = property.n - skip;
            } else if (property.type == "colr") {
                Ycbcr c;
                if (tile && nclxOf(property.p, property.n, c) && !tile->nclx) tile->nclx.reset(new Ycbcr(c));
            } else if (property.type != "ispe" && property.type != "pixi" && property.type != "pasp") {
                return false;
            }
        }
        return !tile || tile->config;
    };
    auto dataOf = [&](uint32_t item) -> const ItemData* {
        for (const auto& e : data)
            if (e.first == item) return &e.second;
        return nullptr;
    };
    if (type == "av01" || type == "hvc1") {
        if (!tiles.empty()) return d;
        tiles = {primary};
        d.kind = type == "av01" ? Direct::av1 : Direct::hevc;
    } else if (type == "grid" && !tiles.empty() && plain(primary, nullptr, nullptr)) {
        const ItemData* grid = dataOf(primary);
        uint8_t head[12];
        const size_t got = grid ? grid->copy(0, head, sizeof head) : 0;
        const bool wide = got >= 2 && head[1] & 1;
        if (got < (wide ? 12u : 8u) || size_t(head[2] + 1) * (head[3] + 1) != tiles.size()) return d;
        d.columns = head[3] + 1;
        d.width = wide ? int(be32(head + 4)) : head[4] << 8 | head[5];
        d.height = wide ? int(be32(head + 8)) : head[6] << 8 | head[7];
        d.kind = Direct::hevc;
    } else {
        return d;
    }
    for (uint32_t id : tiles) {
        Direct::Tile tile{nullptr, 0, ItemData(), nullptr};
        const ItemData* bytes = dataOf(id);
        if (!bytes || typeOf(id) != (d.kind == Direct::av1 ? "av01" : "hvc1") ||
            !plain(id, d.kind == Direct::av1 ? "av1C" : "hvcC", &tile))
            return Direct();
        tile.data = *bytes;
        d.tiles.push_back(std::move(tile));
    }
    for (size_t k : propertiesOf(m, tiles[0]))
        if (m.properties[k].width && !d.tileWidth)
            d.tileWidth = int(m.properties[k].width), d.tileHeight = int(m.properties[k].height);
    if (tiles.size() == 1 && type != "grid") d.width = d.tileWidth, d.height = d.tileHeight;
    if (!d.tileWidth || !d.width) return Direct();
    return d;
}

// Adds what one meta box declares to result. Of each kind of box it
// holds, the first counts, as in libheif; every ipco's ispe and codec
// configurations count.
void readMeta(const uint8_t* meta, size_t metaSize, Bytes in, Declared& result) {
    MetaBoxes m;
    bool firstIpco = true;
    auto first = [](const uint8_t*& at, size_t& atSize, const uint8_t* p, size_t n) {
        if (!at) at = p, atSize = n;
    };
    eachBox(meta + 4, metaSize - 4, [&](const uint8_t* t, const uint8_t* p, size_t n) {
        if (memcmp(t, "pitm", 4) == 0) first(m.pitm, m.pitmSize, p, n);
        if (memcmp(t, "iinf", 4) == 0) first(m.iinf, m.iinfSize, p, n);
        if (memcmp(t, "iloc", 4) == 0) first(m.iloc, m.ilocSize, p, n);
        if (memcmp(t, "idat", 4) == 0) first(m.idat, m.idatSize, p, n);
        if (memcmp(t, "iref", 4) == 0) first(m.iref, m.irefSize, p, n);
        if (memcmp(t, "iprp", 4) != 0) return;
        eachBox(p, n, [&](const uint8_t* t2, const uint8_t* p2, size_t n2) {
            if (memcmp(t2, "ipma", 4) == 0) first(m.ipma, m.ipmaSize, p2, n2);
            if (memcmp(t2, "ipco", 4) != 0) return;
            eachBox(p2, n2, [&](const uint8_t* t3, const uint8_t* p3, size_t n3) {
                const bool ispe = memcmp(t3, "ispe", 4) == 0 && n3 >= 12;
                const int64_t w = ispe ? be32(p3 + 4) : 0, h = ispe ? be32(p3 + 8) : 0;
                if (firstIpco) m.properties.push_back({std::string(reinterpret_cast<const char*>(t3), 4), p3, n3, w, h});
                result.item.keepLarger(w, h);
                codecConfigSize(t3, p3, n3, result.coded);
            });
            firstIpco = false;
        });
    });
    if (!m.pitm || !m.iinf || !m.iloc) return;
    BoxReader pitm{m.pitm, m.pitmSize};
    const uint32_t primary = uint32_t(pitm.take(pitm.take(4) >> 24 == 0 ? 2 : 4));
    const auto types = itemTypes(m);
    const auto refs = references(m);
    const auto data = itemData(m, in);
    auto typeOf = [&](uint32_t id) {
        for (const auto& t : types)
            if (t.first == id) return t.second;
        return std::string();
    };
    // The ispe size an item has; 0 by 0 when none.
    auto ispeOf = [&](uint32_t item) -> std::pair<int64_t, int64_t> {
        for (size_t k : propertiesOf(m, item))
            if (m.properties[k].width) return {m.properties[k].width, m.properties[k].height};
        return {0, 0};
    };
    // The items that decoding the primary one reaches: the images a derived
    // one is made of (dimg), and the alpha of each (an auxl reference to it).
    std::vector<uint32_t> reached{primary};
    for (size_t i = 0; i < reached.size(); ++i)
        for (const Reference& r : refs) {
            const uint32_t next = memcmp(r.type, "dimg", 4) == 0 && r.from == reached[i]  ? r.to
                                  : memcmp(r.type, "auxl", 4) == 0 && r.to == reached[i] ? r.from
                                                                                           : 0;
            if (next && std::find(reached.begin(), reached.end(), next) == reached.end()) reached.push_back(next);
        }
    ++result.metaBoxes;
    result.direct = directOf(m, primary, typeOf(primary), refs, data, typeOf);
    for (const auto& d : data) {
        if (std::find(reached.begin(), reached.end(), d.first) == reached.end()) continue;
        const std::string type = typeOf(d.first);
        const ItemData& item = d.second;
        if (type == "hvc1") hevcSizes(item, result.coded);
        if (type == "av01") av1Sizes(item, result.coded);
        uint8_t head[20];
        const size_t got = item.copy(0, head, sizeof head);
        if (type == "iovl" && got >= 2) {  // version, flags, 4 fill values, canvas size
            const bool wide = head[1] & 1;
            if (got >= (wide ? 18u : 14u))
                result.canvas.keepLarger(wide ? be32(head + 10) : head[10] << 8 | head[11],
                                         wide ? be32(head + 14) : head[12] << 8 | head[13]);
        }
        if (type != "grid" || got < 8) continue;  // version, flags, rows - 1, columns - 1, canvas size
        const bool wide = head[1] & 1;
        if (got < (wide ? 12u : 8u)) continue;
        const int64_t rows = int64_t(head[2]) + 1, columns = int64_t(head[3]) + 1;
        const int64_t w = wide ? be32(head + 4) : head[4] << 8 | head[5], h = wide ? be32(head + 8) : head[6] << 8 | head[7];
        result.canvas.keepLarger(w, h);
        uint32_t firstTile = 0;
        for (const Reference& r : refs)
            if (!firstTile && r.from == d.first && memcmp(r.type, "dimg", 4) == 0) firstTile = r.to;
        const std::pair<int64_t, int64_t> tile = ispeOf(firstTile);
        if (result.uncovered.empty() && (columns * tile.first < w || rows * tile.second < h))
            result.uncovered = "a grid of " + std::to_string(columns) + " by " + std::to_string(rows) + " tiles of " +
                               std::to_string(tile.first) + " by " + std::to_string(tile.second) +
                               " cannot cover " + std::to_string(w) + " by " + std::to_string(h);
    }
}

// What every meta box of the file declares: libheif takes the last one that
// it can parse, which need not be the one that looks whole here.
Declared readDeclared(Bytes in) {
    Declared result;
    eachBox(in.data, in.size, [&](const uint8_t* type, const uint8_t* meta, size_t metaSize) {
        if (memcmp(type, "meta", 4) == 0 && metaSize >= 4) readMeta(meta, metaSize, in, result);
    });
    return result;
}

// Reads bits most significant first; a read past the end fails the reader.
struct BitReader {
    const uint8_t* p;
    size_t n;
    size_t bit = 0;
    bool ok = true;
    uint64_t u(int k) {
        uint64_t v = 0;
        for (int i = 0; i < k; ++i, ++bit) {
            if (bit >= n * 8) {
                ok = false;
                return 0;
            }
            v = v << 1 | (p[bit >> 3] >> (7 - (bit & 7)) & 1);
        }
        return v;
    }
    // Leading zeros, then as many bits: H.265's ue(v) and AV1's uvlc().
    uint64_t golomb() {
        int zeros = 0;
        while (ok && u(1) == 0)
            if (++zeros > 32) ok = false;
        return ok ? (uint64_t(1) << zeros) - 1 + u(zeros) : 0;
    }
};

// The picture size an HEVC sequence parameter set (a NAL unit) declares.
bool hevcSize(const uint8_t* nal, size_t n, int64_t& width, int64_t& height) {
    std::vector<uint8_t> rbsp;  // without the emulation prevention bytes
    for (size_t i = 2; i < n; ++i) {
        if (i >= 4 && nal[i] == 3 && nal[i - 1] == 0 && nal[i - 2] == 0) continue;
        rbsp.push_back(nal[i]);
    }
    BitReader b{rbsp.data(), rbsp.size()};
    b.u(4);
    const int subLayers = int(b.u(3));
    b.u(1);
    b.u(96);  // the general profile, tier and level
    bool profile[8] = {}, level[8] = {};
    for (int i = 0; i < subLayers; ++i) profile[i] = b.u(1), level[i] = b.u(1);
    if (subLayers > 0)
        for (int i = subLayers; i < 8; ++i) b.u(2);
    for (int i = 0; i < subLayers; ++i) b.u((profile[i] ? 88 : 0) + (level[i] ? 8 : 0));
    b.golomb();
    if (b.golomb() == 3) b.u(1);
    width = int64_t(b.golomb());
    height = int64_t(b.golomb());
    return b.ok;
}

// The largest picture size an AV1 sequence header OBU declares.
bool av1Size(const uint8_t* obu, size_t n, int64_t& width, int64_t& height) {
    BitReader b{obu, n};
    b.u(3);
    b.u(1);
    if (b.u(1)) {  // reduced still picture header
        b.u(5);
    } else {
        bool decoderModel = false;
        int delayBits = 0;
        if (b.u(1)) {  // timing info
            b.u(64);
            if (b.u(1)) b.golomb();
            decoderModel = b.u(1);
            if (decoderModel) {
                delayBits = int(b.u(5)) + 1;
                b.u(32 + 5 + 5);
            }
        }
        const bool displayDelay = b.u(1);
        const int points = int(b.u(5)) + 1;
        for (int i = 0; i < points && b.ok; ++i) {
            b.u(12);
            if (b.u(5) > 7) b.u(1);
            if (decoderModel && b.u(1)) b.u(2 * delayBits + 1);
            if (displayDelay && b.u(1)) b.u(4);
        }
    }
    const int widthBits = int(b.u(4)) + 1, heightBits = int(b.u(4)) + 1;
    width = int64_t(b.u(widthBits)) + 1;
    height = int64_t(b.u(heightBits)) + 1;
    return b.ok;
}

// The NAL units of an hvcC payload's arrays: calls f(type, nal, size) for
// each, until one runs past the end.
template <typename F>
void eachHvccNal(const uint8_t* p, size_t n, F&& f) {
    if (n < 23) return;
    for (size_t at = 23, arrays = p[22]; arrays-- && n - at >= 3;) {
        const unsigned kind = p[at] & 0x3f, count = unsigned(p[at + 1]) << 8 | p[at + 2];
        at += 3;
        for (unsigned k = 0; k < count && n - at >= 2; ++k) {
            const size_t len = size_t(p[at]) << 8 | p[at + 1];
            if (len > n - at - 2) return;
            f(kind, p + at + 2, len);
            at += 2 + len;
        }
    }
}

// Keeps the larger of largest and the picture size that a codec
// configuration box (HEVC's hvcC with its sequence parameter sets, AV1's
// av1C with its sequence header) declares.
void codecConfigSize(const uint8_t* type, const uint8_t* p, size_t n, Size& largest) {
    int64_t w = 0, h = 0;
    if (memcmp(type, "hvcC", 4) == 0) {
        eachHvccNal(p, n, [&](unsigned kind, const uint8_t* nal, size_t len) {
            if (kind == 33 && hevcSize(nal, len, w, h)) largest.keepLarger(w, h);
        });
    } else if (memcmp(type, "av1C", 4) == 0 && n > 4) {
        ItemData obus;  // the configuration OBUs after av1C's 4 bytes
        obus.add(p + 4, n - 4);
        av1Sizes(obus, largest);
    }
}

// The parameter sets of an hvcC payload, each after a 4-byte length, as
// libheif hands them to the decoder before the item's own NAL units.
std::vector<uint8_t> hevcNals(const uint8_t* p, size_t n) {
    std::vector<uint8_t> nals;
    eachHvccNal(p, n, [&](unsigned, const uint8_t* nal, size_t len) {
        const uint8_t size[4] = {0, 0, uint8_t(len >> 8), uint8_t(len)};
        nals.insert(nals.end(), size, size + 4);
        nals.insert(nals.end(), nal, nal + len);
    });
    return nals;
}

// A context over a file's bytes and its primary image.
struct Context {
    const Api* api = nullptr;
    heif_context* ctx = nullptr;
    heif_image_handle* primary = nullptr;
    Direct direct;  // how to decode the picture without libheif, if at all

    Context() = default;
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;
    ~Context() {
        if (primary) api->heif_image_handle_release(primary);
        if (ctx) api->heif_context_free(ctx);
    }
};

class HeifReader final : public Reader {
public:
    explicit HeifReader(std::unique_ptr<Context> c) : c_(std::move(c)) {}

    iflStatus decode(RowSink& sink, std::string& err) override {
        const Api& a = *c_->api;
        const Direct& d = c_->direct;
        iflStatus st;
        if (d.kind == Direct::av1) {
            const Direct::Tile& t = d.tiles[0];
            std::vector<uint8_t> obus(t.configSize + t.data.size());
            memcpy(obus.data(), t.config, t.configSize);
            t.data.copy(0, obus.data() + t.configSize, t.data.size());
            if (decodeAv1Still(obus, d.width, d.height, t.nclx.get(), sink, st, err)) return st;
        }
        if (d.kind == Direct::hevc && sink.block) {
            auto tile = [&](size_t i) {
                const Direct::Tile& t = d.tiles[i];
                HevcTile out{hevcNals(t.config, t.configSize), t.nclx.get()};
                const size_t at = out.nals.size();
                out.nals.resize(at + t.data.size());
                t.data.copy(0, out.nals.data() + at, t.data.size());
                return out;
            };
            if (decodeHevcStill(d.tiles.size(), tile, d.columns, d.tileWidth, d.tileHeight, d.width, d.height, sink,
                                st, err))
                return st;
        }
        heif_decoding_options* options = a.heif_decoding_options_alloc();
        if (!options) {
            err = "out of memory";
            return iflErrNoMemory;
        }
        options->convert_hdr_to_8bit = 0;  // rounded below instead of cut
        options->strict_decoding = 1;      // damage fails, as in every other format
        heif_image* img = nullptr;
        heif_error e;
        {
            // Planar RGB at the file's depth: libheif converts from YCbCr to
            // it in any case, and interleaving it is done here, once, on two
            // threads, straight into the sink's rows.
            SilencedStderr quiet;
            e = a.heif_decode_image(c_->primary, &img, heif_colorspace_RGB, heif_chroma_444, options);
        }
        a.heif_decoding_options_free(options);
        if (e.code != heif_error_Ok) {
            if (img) a.heif_image_release(img);
            return failed(e, err);
        }
        st = deliver(a, img, sink, err);
        a.heif_image_release(img);
        return st;
    }

private:
    // One decoded plane: 8-bit samples, or 16-bit ones up to max.
    struct Plane {
        const uint8_t* base = nullptr;
        size_t stride = 0;
        unsigned max = 255;
        bool wide = false;
    };

    // Interleaves rows [from, to) of the planes into RGBA; other depths than
    // 8 bits are rounded to the nearest 8-bit value, and no alpha plane
    // means 255.
    static void interleave(const Plane (&planes)[4], int w, int from, int to, RowSink& sink) {
        auto plain = [](const Plane& pl) { return !pl.wide && pl.max == 255; };
        const bool bytes = plain(planes[0]) && plain(planes[1]) && plain(planes[2]) && (!planes[3].base || plain(planes[3]));
        for (int r = from; r < to; ++r) {
            uint8_t* o = sink.row(r);
            if (bytes) {  // the common case, in one pass
                const uint8_t *R = planes[0].base + size_t(r) * planes[0].stride,
                              *G = planes[1].base + size_t(r) * planes[1].stride,
                              *B = planes[2].base + size_t(r) * planes[2].stride;
                const uint8_t* A = planes[3].base ? planes[3].base + size_t(r) * planes[3].stride : nullptr;
                for (int x = 0; x < w; ++x, o += 4) o[0] = R[x], o[1] = G[x], o[2] = B[x], o[3] = A ? A[x] : 255;
                sink.done(r);
                continue;
            }
            for (int k = 0; k < 4; ++k) {
                const Plane& pl = planes[k];
                uint8_t* d = o + k;
                if (!pl.base) {
                    for (int x = 0; x < w; ++x, d += 4) *d = 255;
                    continue;
                }
                const uint8_t* s = pl.base + size_t(r) * pl.stride;
                for (int x = 0; x < w; ++x, d += 4) {
                    const unsigned v = std::min<unsigned>(pl.wide ? reinterpret_cast<const uint16_t*>(s)[x] : s[x], pl.max);
                    *d = uint8_t((v * 255 + pl.max / 2) / pl.max);
                }
            }
            sink.done(r);
        }
    }

    iflStatus deliver(const Api& a, const heif_image* img, RowSink& sink, std::string& err) {
        const int w = a.heif_image_handle_get_width(c_->primary), h = a.heif_image_handle_get_height(c_->primary);
        static const heif_channel kChannels[4] = {heif_channel_R, heif_channel_G, heif_channel_B, heif_channel_Alpha};
        Plane planes[4];
        for (int k = 0; k < 4; ++k) {
            int stride = 0;
            const uint8_t* p = a.heif_image_get_plane_readonly(img, kChannels[k], &stride);
            if (!p && k == 3) break;
            const int gotW = a.heif_image_get_width(img, kChannels[k]), gotH = a.heif_image_get_height(img, kChannels[k]);
            if (!p || gotW != w || gotH != h) {
                err = "the decoded picture is " + std::to_string(gotW) + " by " + std::to_string(gotH) +
                      ", its header says " + std::to_string(w) + " by " + std::to_string(h);
                return iflErrCorrupt;
            }
            const int bits = std::min(16, std::max(1, a.heif_image_get_bits_per_pixel_range(img, kChannels[k])));
            planes[k] = {p, size_t(stride), (1u << bits) - 1, bits > 8};
        }
        if (sink.block && int64_t(w) * h >= kMinParallelPixels)
            inParallel([&] { interleave(planes, w, 0, h / 2, sink); }, [&] { interleave(planes, w, h / 2, h, sink); });
        else
            interleave(planes, w, 0, h, sink);
        return iflSuccess;
    }

    std::unique_ptr<Context> c_;
};

// The colour description: the ICC profile, or a profile made from the nclx
// primaries and transfer (empty when they are sRGB's).
std::vector<uint8_t> colourOf(const Api& a, const heif_image_handle* h) {
    std::vector<uint8_t> icc;
    // Codes that come from the file are read as plain numbers: a damaged
    // one need not be a value of libheif's enumeration.
    const uint32_t type = uint32_t(a.heif_image_handle_get_color_profile_type(h));
    if (type == heif_color_profile_type_prof || type == heif_color_profile_type_rICC) {
        icc.resize(a.heif_image_handle_get_raw_color_profile_size(h));
        if (icc.empty() || a.heif_image_handle_get_raw_color_profile(h, icc.data()).code != heif_error_Ok) icc.clear();
        return icc;
    }
    heif_color_profile_nclx* nclx = nullptr;
    if (a.heif_image_handle_get_nclx_color_profile(h, &nclx).code != heif_error_Ok || !nclx) return icc;
    const double xy[8] = {nclx->color_primary_red_x,   nclx->color_primary_red_y,   nclx->color_primary_green_x,
                          nclx->color_primary_green_y, nclx->color_primary_blue_x,  nclx->color_primary_blue_y,
                          nclx->color_primary_white_x, nclx->color_primary_white_y};
    int transferCode = 0;
    static_assert(sizeof transferCode == sizeof nclx->transfer_characteristics, "a transfer code is an int");
    memcpy(&transferCode, &nclx->transfer_characteristics, sizeof transferCode);
    const Transfer transfer = transferOfCicp(transferCode);
    a.heif_nclx_color_profile_free(nclx);
    return profileOfPrimaries(xy, transfer);
}

iflStatus open(Bytes in, Info& info, std::unique_ptr<Reader>& reader, std::string& err) {
    const Api* a = api(err);
    if (!a) return iflErrUnsupported;
    auto c = std::make_unique<Context>();
    c->api = a;
    c->ctx = a->heif_context_alloc();
    if (!c->ctx) {
        err = "out of memory";
        return iflErrNoMemory;
    }
    // libheif refuses sides from 32768 on, as the picture model does.
    a->heif_context_set_maximum_image_size_limit(c->ctx, kMaxSide + 1);
    heif_error e;
    {
        SilencedStderr quiet;
        e = a->heif_context_read_from_memory_without_copy(c->ctx, in.data, in.size, nullptr);
        if (e.code == heif_error_Ok) e = a->heif_context_get_primary_image_handle(c->ctx, &c->primary);
    }
    if (e.code != heif_error_Ok) {
        iflStatus st = failed(e, err);
        if (st == iflErrTooLarge) {
            const Size item = readDeclared(in).item;
            if (item.width && item.height && !info.setSize(item.width, item.height)) return iflErrTooLarge;
        }
        return st == iflErrTooLarge ? iflErrCorrupt : st;
    }
    const heif_image_handle* h = c->primary;
    // What the decoders allocate, then the primary image's stored size and
    // the size shown.
    Declared declared = readDeclared(in);
    for (const Size& s : {declared.item, declared.canvas, declared.coded})
        if (s.width && s.height && !info.setSize(s.width, s.height)) return iflErrTooLarge;
    if (!info.setSize(a->heif_image_handle_get_ispe_width(h), a->heif_image_handle_get_ispe_height(h)) ||
        !info.setSize(a->heif_image_handle_get_width(h), a->heif_image_handle_get_height(h)))
        return iflErrTooLarge;
    if (!declared.uncovered.empty()) {
        err = declared.uncovered;
        return iflErrCorrupt;
    }
    info.channels = a->heif_image_handle_has_alpha_channel(h) ? 4 : 3;
    info.orientation = iflUpperLeft;
    info.icc = colourOf(*a, h);
    if (declared.metaBoxes == 1 && info.channels == 3 && a->heif_image_handle_get_luma_bits_per_pixel(h) == 8 &&
        declared.direct.width == a->heif_image_handle_get_width(h) &&
        declared.direct.height == a->heif_image_handle_get_height(h))
        c->direct = std::move(declared.direct);
    reader = std::make_unique<HeifReader>(std::move(c));
    return iflSuccess;
}

heif_error written(heif_context*, const void* data, size_t size, void* out) {
    if (fwrite(data, 1, size, static_cast<FILE*>(out)) == size) return {heif_error_Ok, heif_suberror_Unspecified, ""};
    return {heif_error_Encoding_error, heif_suberror_Cannot_write_output_data, "cannot write the file"};
}

struct EncoderSettings {
    int quality;
    const char* parameter;  // the speed parameter and its value
    const char* value;
};
constexpr EncoderSettings kHevc = {50, "preset", "ultrafast"};
constexpr EncoderSettings kAv1 = {72, "speed", "6"};

iflStatus encode(FILE* out, PixelSource& px, heif_compression_format format, std::string& err) {
    const Api* a = api(err);
    if (!a) return iflErrUnsupported;
    Context c;
    c.api = a;
    c.ctx = a->heif_context_alloc();
    if (!c.ctx) {
        err = "out of memory";
        return iflErrNoMemory;
    }
    heif_encoder* encoder = nullptr;
    heif_error e = a->heif_context_get_encoder_for_format(c.ctx, format, &encoder);
    if (e.code != heif_error_Ok) return failed(e, err);
    std::unique_ptr<heif_encoder, void (*)(heif_encoder*)> releaseEncoder(encoder, a->heif_encoder_release);
    const EncoderSettings& settings = format == heif_compression_HEVC ? kHevc : kAv1;
    a->heif_encoder_set_lossy_quality(encoder, settings.quality);
    a->heif_encoder_set_parameter(encoder, "chroma", "420");
    a->heif_encoder_set_parameter(encoder, settings.parameter, settings.value);
    if (format == heif_compression_AV1)  // x265 takes every core by itself
        a->heif_encoder_set_parameter(encoder, "threads", std::to_string(threadCount()).c_str());

    const bool alpha = px.channels == 4;
    heif_image* img = nullptr;
    e = a->heif_image_create(px.width, px.height, heif_colorspace_RGB,
                             alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB, &img);
    if (e.code != heif_error_Ok) return failed(e, err);
    std::unique_ptr<heif_image, void (*)(const heif_image*)> releaseImage(img, a->heif_image_release);
    e = a->heif_image_add_plane(img, heif_channel_interleaved, px.width, px.height, 8);
    if (e.code != heif_error_Ok) return failed(e, err);
    int stride = 0;
    uint8_t* plane = a->heif_image_get_plane(img, heif_channel_interleaved, &stride);
    const size_t rowBytes = size_t(px.width) * size_t(px.channels);
    for (int r = 0; r < px.height; ++r) {
        uint8_t* o = plane + size_t(r) * size_t(stride);
        if (!px.rgbx || alpha) {
            memcpy(o, px.rgbx ? px.rgbx.row(r) : px.row(r), rowBytes);
        } else {
            const uint8_t* s = px.rgbx.row(r);
            for (int x = 0; x < px.width; ++x, s += 4, o += 3) o[0] = s[0], o[1] = s[1], o[2] = s[2];
        }
    }
    heif_encoding_options* options = a->heif_encoding_options_alloc();
    if (!options) {
        err = "out of memory";
        return iflErrNoMemory;
    }
    options->save_alpha_channel = alpha;
    {
        SilencedStderr quiet;  // x265 reports its settings there
        e = a->heif_context_encode_image(c.ctx, img, encoder, options, nullptr);
    }
    a->heif_encoding_options_free(options);
    if (e.code != heif_error_Ok) return failed(e, err);
    heif_writer writer = {1, written};
    e = a->heif_context_write(c.ctx, &writer, out);
    if (e.code != heif_error_Ok) {
        iflStatus st = failed(e, err);
        return e.subcode == heif_suberror_Cannot_write_output_data ? iflErrIO : st;
    }
    return iflSuccess;
}

iflStatus writeHeif(FILE* out, PixelSource& px, const WriteOptions&, std::string& err) {
    return encode(out, px, heif_compression_HEVC, err);
}

iflStatus writeAvif(FILE* out, PixelSource& px, const WriteOptions&, std::string& err) {
    return encode(out, px, heif_compression_AV1, err);
}

const char* const kHeifEndings[] = {"heic", "heif", nullptr};
const char* const kAvifEndings[] = {"avif", nullptr};

}  // namespace

const Codec heifCodec = {"HEIF", kHeifEndings, sniffHeif, open, writeHeif, 4, 0};
const Codec avifCodec = {"AVIF", kAvifEndings, sniffAvif, open, writeAvif, 4, 0};

}  // namespace ifl0
