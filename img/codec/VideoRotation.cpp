#include "VideoRotation.h"

#include <cmath>

#include "IsoBoxes.h"

namespace {

// The rotation of a track header (tkhd): the matrix {a b u, c d v, x y w} after the times,
// with a, b, c, d in 16.16 fixed point.
int TrackRotation(ByteReader tkhd) {
    uint8_t version = 0;
    if (!tkhd.ReadU8(version) || !tkhd.Skip(3)) return -1;
    // Times and track ID, then reserved, layer, alternate group, volume and reserved.
    if (!tkhd.Skip(version == 1 ? 32 : 20) || !tkhd.Skip(16)) return -1;
    uint32_t a = 0, b = 0;
    if (!tkhd.ReadU32BE(a) || !tkhd.ReadU32BE(b)) return -1;
    const double angle =
        std::atan2(static_cast<int32_t>(b), static_cast<int32_t>(a)) * 180 / 3.14159265358979323846;
    const int quarter = static_cast<int>(std::lround(angle / 90)) & 3;
    return quarter * 90;
}

bool IsVideoTrack(ByteReader trak) {
    ByteReader mdia, hdlr;
    uint32_t handler = 0;
    return FindBox(trak, BoxType("mdia"), mdia) && FindBox(mdia, BoxType("hdlr"), hdlr) &&
           hdlr.Skip(8) && hdlr.ReadU32BE(handler) && handler == BoxType("vide");
}

}  // namespace

int Mp4DisplayRotation(const uint8_t* data, size_t size) {
    ByteReader file(data, size), moov;
    if (!FindBox(file, BoxType("moov"), moov)) return -1;
    uint32_t type = 0;
    ByteReader trak;
    while (NextBox(moov, type, trak)) {
        ByteReader tkhd;
        if (type != BoxType("trak") || !IsVideoTrack(trak)) continue;
        return FindBox(trak, BoxType("tkhd"), tkhd) ? TrackRotation(tkhd) : -1;
    }
    return -1;
}
