// The display rotation that zemhost's info reports for MP4 clips: the first video track's header
// matrix, in either header version, past an audio track; nothing for files without one.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "VideoRotation.h"

namespace {

using Bytes = std::vector<uint8_t>;

void U32(Bytes& out, uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<uint8_t>(v >> s));
}

Bytes Box(const char* type, const Bytes& body) {
    Bytes out;
    U32(out, static_cast<uint32_t>(body.size() + 8));
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

Bytes Track(const char* handler, int version, int32_t a, int32_t b) {
    Bytes tkhd = {static_cast<uint8_t>(version), 0, 0, 7};
    tkhd.resize(tkhd.size() + (version == 1 ? 32 : 20) + 16, 0);
    for (int32_t v : {a, b, -b, a, 0, 0, 0, 0, 0x40000000}) U32(tkhd, static_cast<uint32_t>(v));
    U32(tkhd, 320 << 16);
    U32(tkhd, 240 << 16);
    Bytes hdlr(8, 0);
    hdlr.insert(hdlr.end(), handler, handler + 4);
    hdlr.resize(hdlr.size() + 13, 0);
    Bytes trak = Box("tkhd", tkhd);
    const Bytes mdia = Box("mdia", Box("hdlr", hdlr));
    trak.insert(trak.end(), mdia.begin(), mdia.end());
    return Box("trak", trak);
}

Bytes Clip(const Bytes& tracks) {
    Bytes out = Box("ftyp", {'i', 's', 'o', 'm', 0, 0, 2, 0});
    const Bytes moov = Box("moov", tracks);
    out.insert(out.end(), moov.begin(), moov.end());
    return out;
}

}  // namespace

TEST(VideoRotation, DisplayMatrixOfTheFirstVideoTrack) {
    constexpr int32_t kOne = 0x10000;
    const struct {
        int32_t a, b;
        int degrees;
    } table[] = {{kOne, 0, 0}, {0, kOne, 90}, {-kOne, 0, 180}, {0, -kOne, 270}, {3000, kOne, 90}};
    for (const auto& row : table) {
        for (int version : {0, 1}) {
            Bytes tracks = Track("soun", 0, 0, kOne);  // an audio track's matrix does not count
            const Bytes video = Track("vide", version, row.a, row.b);
            tracks.insert(tracks.end(), video.begin(), video.end());
            const Bytes clip = Clip(tracks);
            EXPECT_EQ(Mp4DisplayRotation(clip.data(), clip.size()), row.degrees)
                << row.a << "," << row.b << " v" << version;
        }
    }
    const Bytes audio_only = Clip(Track("soun", 0, 0, kOne));
    EXPECT_EQ(Mp4DisplayRotation(audio_only.data(), audio_only.size()), -1);
    Bytes cut = Clip(Track("vide", 0, 0, kOne));
    cut.resize(cut.size() - 60);  // the track header runs past the end
    EXPECT_EQ(Mp4DisplayRotation(cut.data(), cut.size()), -1);
}
