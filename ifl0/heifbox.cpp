// Reading a HEIF file's boxes as libheif reads them.
#include "heifbox.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace ifl0 {
namespace {

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

void codecConfigSize(const uint8_t* type, const uint8_t* p, size_t n, Size& largest);

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
        if (!bytes || !bytes->size() || typeOf(id) != (d.kind == Direct::av1 ? "av01" : "hvc1") ||
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

}  // namespace

// What every meta box of the file declares: libheif takes the last one that
// it can parse, which need not be the one that looks whole here.
Declared readDeclared(Bytes in) {
    Declared result;
    eachBox(in.data, in.size, [&](const uint8_t* type, const uint8_t* meta, size_t metaSize) {
        if (memcmp(type, "meta", 4) == 0 && metaSize >= 4) readMeta(meta, metaSize, in, result);
    });
    return result;
}

std::vector<uint8_t> hevcNals(const uint8_t* p, size_t n) {
    std::vector<uint8_t> nals;
    eachHvccNal(p, n, [&](unsigned, const uint8_t* nal, size_t len) {
        const uint8_t size[4] = {0, 0, uint8_t(len >> 8), uint8_t(len)};
        nals.insert(nals.end(), size, size + 4);
        nals.insert(nals.end(), nal, nal + len);
    });
    return nals;
}


}  // namespace ifl0
