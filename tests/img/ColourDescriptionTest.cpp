// The colour descriptions read from JPEG 2000 colr boxes and PSD image resources: one table of
// files built here, each with the profile or the verdict expected (the padding of resource names
// and odd-length data, PSB's header, each colr method and enumerated space).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "CodecTypes.h"
#include "PictureMetadata.h"

namespace {

using Bytes = std::vector<uint8_t>;

void Put(Bytes& out, uint32_t v, int bytes) {
    for (int s = 8 * (bytes - 1); s >= 0; s -= 8) out.push_back(static_cast<uint8_t>(v >> s));
}

Bytes Box(const char* type, const Bytes& body) {
    const size_t length = body.size() + 8;
    Bytes out(length);
    for (size_t i = 0; i < 4; ++i) {
        out[i] = static_cast<uint8_t>(length >> (24 - 8 * i));
        out[4 + i] = static_cast<uint8_t>(type[i]);
    }
    std::copy(body.begin(), body.end(), out.begin() + 8);
    return out;
}

// A JP2 header: the signature, ftyp, then jp2h with ihdr and the colr boxes given.
Bytes Jp2(const std::vector<Bytes>& colrs) {
    Bytes jp2h = Box("ihdr", Bytes(14, 0));
    for (const Bytes& c : colrs) {
        const Bytes b = Box("colr", c);
        jp2h.insert(jp2h.end(), b.begin(), b.end());
    }
    Bytes out = Box("jP  ", {0x0D, 0x0A, 0x87, 0x0A});
    for (const Bytes& b : {Box("ftyp", Bytes(12, 0)), Box("jp2h", jp2h), Box("jp2c", {0xFF, 0x4F})}) {
        out.insert(out.end(), b.begin(), b.end());
    }
    return out;
}

Bytes Enumerated(uint32_t space) {
    Bytes c = {1, 0, 0};
    Put(c, space, 4);
    return c;
}

// A PSD (version 1) or PSB (2) head: the header, colour mode data, and resources (id, name,
// data) in that order.
struct Resource {
    uint16_t id;
    std::string name;
    Bytes data;
};
Bytes Psd(int version, const std::vector<Resource>& resources) {
    Bytes out = {'8', 'B', 'P', 'S'};
    Put(out, version, 2);
    out.resize(out.size() + 6, 0);
    for (uint32_t v : {3u, 4u, 4u}) Put(out, v, v == 3 ? 2 : 4);  // channels, height, width
    Put(out, 8, 2);
    Put(out, 3, 2);
    Put(out, 3, 4);
    out.insert(out.end(), {1, 2, 3});  // colour mode data
    Bytes section;
    for (const Resource& r : resources) {
        section.insert(section.end(), {'8', 'B', 'I', 'M'});
        Put(section, r.id, 2);
        section.push_back(static_cast<uint8_t>(r.name.size()));
        section.insert(section.end(), r.name.begin(), r.name.end());
        if (r.name.size() % 2 == 0) section.push_back(0);  // the Pascal string padded to even
        Put(section, static_cast<uint32_t>(r.data.size()), 4);
        section.insert(section.end(), r.data.begin(), r.data.end());
        if (r.data.size() & 1) section.push_back(0);
    }
    Put(out, static_cast<uint32_t>(section.size()), 4);
    out.insert(out.end(), section.begin(), section.end());
    return out;
}

TEST(ImgColourDescription, Jp2ColrAndPsdResourcesGiveTheirProfile) {
    const Bytes icc = {'p', 'r', 'o', 'f', 'i', 'l', 'e'}, other = {9, 9, 9};
    Bytes method2 = {2, 0, 0};
    method2.insert(method2.end(), icc.begin(), icc.end());
    const struct {
        const char* what;
        uint32_t type;
        Bytes file;
        Bytes icc;
        bool unknown;
    } rows[] = {
        {"sRGB", kTypeJp2, Jp2({Enumerated(16)}), {}, false},
        {"grey", kTypeJp2, Jp2({Enumerated(17)}), {}, false},
        {"sYCC", kTypeJp2, Jp2({Enumerated(18)}), {}, false},
        {"CMYK", kTypeJp2, Jp2({Enumerated(12)}), {}, true},
        {"profile", kTypeJp2, Jp2({method2}), icc, false},
        {"first colr rules", kTypeJp2, Jp2({method2, Enumerated(12)}), icc, false},
        {"codestream", kTypeJ2k, {0xFF, 0x4F, 0xFF, 0x51}, {}, false},
        {"psd", kTypePsd, Psd(1, {{1005, "", other}, {1039, "", icc}}), icc, false},
        {"names", kTypePsd, Psd(1, {{1005, "ab", other}, {1039, "x", icc}}), icc, false},
        {"psb", kTypePsd, Psd(2, {{1039, "", icc}}), icc, false},
        {"none", kTypePsd, Psd(1, {{1005, "", other}}), {}, false},
    };
    for (const auto& row : rows) {
        PictureMetadata meta;
        ReadPictureMetadata(row.file.data(), row.file.size(), row.type, 0, true, meta);
        EXPECT_EQ(meta.icc, row.icc) << row.what;
        EXPECT_EQ(meta.colours_unknown, row.unknown) << row.what;
        // Every shorter head ends the walk without reading past it.
        for (size_t cut = 0; cut < row.file.size(); ++cut) {
            const Bytes head(row.file.begin(), row.file.begin() + static_cast<ptrdiff_t>(cut));
            ReadPictureMetadata(head.data(), head.size(), row.type, 0, true, meta);
        }
    }
}

}  // namespace
