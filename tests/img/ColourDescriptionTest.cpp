// The colour descriptions read from JPEG 2000 colr boxes and PSD image resources, in one table:
// each colr method and enumerated space, the first box ruling; resource names and odd-length
// data padded, PSB's header; every shorter head read without reading past it.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "CodecTypes.h"
#include "PictureMetadata.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Be(uint32_t v, int bytes) {
    Bytes out;
    for (int s = 8 * (bytes - 1); s >= 0; s -= 8) out.push_back(static_cast<uint8_t>(v >> s));
    return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes Box(const std::string& type, const Bytes& body) {
    const Bytes name(type.begin(), type.end());
    return Cat({Be(static_cast<uint32_t>(body.size() + 8), 4), name, body});
}

Bytes Jp2(const Bytes& colrs) {
    return Cat({Box("jP  ", {13, 10, 135, 10}), Box("ftyp", Bytes(12, 0)),
                Box("jp2h", Cat({Box("ihdr", Bytes(14, 0)), colrs})), Box("jp2c", {255, 79})});
}

Bytes Colr(uint8_t method, const Bytes& rest) { return Box("colr", Cat({{method, 0, 0}, rest})); }

// A resource: signature, id, the name as a Pascal string padded to even, data padded to even.
Bytes Resource(uint16_t id, const std::string& name, const Bytes& data) {
    return Cat({{'8', 'B', 'I', 'M'}, Be(id, 2), {static_cast<uint8_t>(name.size())},
                Bytes(name.begin(), name.end()), Bytes(name.size() % 2 ? 0 : 1, 0),
                Be(static_cast<uint32_t>(data.size()), 4), data, Bytes(data.size() % 2, 0)});
}

// Header (RGB, 8 bits), three bytes of colour mode data, then the resources.
Bytes Psd(uint16_t version, const Bytes& resources) {
    return Cat({{'8', 'B', 'P', 'S'}, Be(version, 2), Bytes(6, 0), Be(3, 2), Be(4, 4), Be(4, 4),
                Be(8, 2), Be(3, 2), Be(3, 4), {1, 2, 3},
                Be(static_cast<uint32_t>(resources.size()), 4), resources});
}

TEST(ImgColourDescription, Jp2ColrAndPsdResourcesGiveTheirProfile) {
    const Bytes icc = {'p', 'r', 'o', 'f', 'i', 'l', 'e'}, other = {9, 9, 9};
    const struct {
        const char* what;
        uint32_t type;
        Bytes file, icc;
        bool unknown;
    } rows[] = {
        {"sRGB", kTypeJp2, Jp2(Colr(1, Be(16, 4))), {}, false},
        {"grey", kTypeJp2, Jp2(Colr(1, Be(17, 4))), {}, false},
        {"sYCC", kTypeJp2, Jp2(Colr(1, Be(18, 4))), {}, false},
        {"CMYK", kTypeJp2, Jp2(Colr(1, Be(12, 4))), {}, true},
        {"first rules", kTypeJp2, Jp2(Cat({Colr(2, icc), Colr(1, Be(12, 4))})), icc, false},
        {"psd", kTypePsd, Psd(1, Cat({Resource(1005, "", other), Resource(1039, "", icc)})), icc,
         false},
        {"names", kTypePsd, Psd(1, Cat({Resource(1005, "ab", other), Resource(1039, "x", icc)})),
         icc, false},
        {"psb", kTypePsd, Psd(2, Resource(1039, "", icc)), icc, false},
    };
    for (const auto& row : rows) {
        PictureMetadata meta;
        ReadPictureMetadata(row.file.data(), row.file.size(), row.type, 0, true, meta);
        EXPECT_EQ(meta.icc, row.icc) << row.what;
        EXPECT_EQ(meta.colours_unknown, row.unknown) << row.what;
        for (size_t cut = 1; cut < row.file.size(); ++cut) {
            const Bytes head(row.file.begin(), row.file.begin() + static_cast<ptrdiff_t>(cut));
            ReadPictureMetadata(head.data(), head.size(), row.type, 0, true, meta);
        }
    }
}

}  // namespace
