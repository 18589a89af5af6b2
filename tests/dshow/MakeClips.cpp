// Writes the dshowsrc test clips into a folder, for the Windows suite under Wine (which has no
// encoders of its own), with the frames that the Linux stand-in's decoding gives at the suite's
// positions beside each clip ("NAME.frames"): dshow_make_clips DIR
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "DshowClips.h"
#include "TimeSeek.h"

namespace {

// Each position of cliptest::kWinePositions: its 32-bit value, the DIB's byte count, and a
// 24-bit bottom-up packed DIB of the frame (no DIB, count 0, where none decodes).
bool WriteReferenceFrames(const std::string& clip, std::string& error) {
    video::TimedMedia media;
    if (media.Open(clip) != video::Status::Ok) return true;  // no length, nothing to compare
    size_t stream = 0;
    while (stream < media.Streams().size() &&
           media.Streams()[stream].kind != video::StreamKind::Video) {
        ++stream;
    }
    if (stream == media.Streams().size()) return true;
    const video::StreamFacts& facts = media.Streams()[stream];
    const int w = facts.width;
    const int h = facts.height;
    const size_t stride = (static_cast<size_t>(w) * 3 + 3) / 4 * 4;
    std::vector<uint8_t> out;
    for (const cliptest::WinePosition& at : cliptest::kWinePositions) {
        std::vector<uint8_t> dib(40 + stride * static_cast<size_t>(h), 0);
        const int32_t header[] = {40, w, h, 1 | 24 << 16, 0, static_cast<int32_t>(stride * h)};
        std::memcpy(dib.data(), header, sizeof header);
        uint32_t size = static_cast<uint32_t>(dib.size());
        if (!(facts.length > 0.0) ||
            media.FrameAt(stream, at.seconds, w, h, dib.data() + 40) != video::Status::Ok) {
            size = 0;
        }
        out.insert(out.end(), reinterpret_cast<const uint8_t*>(&at.position),
                   reinterpret_cast<const uint8_t*>(&at.position) + 4);
        out.insert(out.end(), reinterpret_cast<const uint8_t*>(&size),
                   reinterpret_cast<const uint8_t*>(&size) + 4);
        out.insert(out.end(), dib.begin(), dib.begin() + size);
    }
    FILE* f = std::fopen((clip + ".frames").c_str(), "wb");
    const bool ok = f && std::fwrite(out.data(), 1, out.size(), f) == out.size();
    if (f && std::fclose(f) != 0) return false;
    if (!ok) error = "cannot write " + clip + ".frames";
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: dshow_make_clips DIR\n");
        return 2;
    }
    std::error_code ec;
    std::filesystem::create_directories(argv[1], ec);
    std::string error;
    if (!cliptest::WriteStandardClips(argv[1], error)) {
        std::fprintf(stderr, "dshow_make_clips: %s\n", error.c_str());
        return 1;
    }
    for (const cliptest::NamedClip& clip : cliptest::StandardClips()) {
        if (!WriteReferenceFrames(std::string(argv[1]) + "/" + clip.name, error)) {
            std::fprintf(stderr, "dshow_make_clips: %s\n", error.c_str());
            return 1;
        }
    }
    return 0;
}
