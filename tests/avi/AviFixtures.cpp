#include "AviFixtures.h"

#include <algorithm>
#include <mutex>

#include "AviRiff.h"

#if ZEM_AVI_MAKE_FIXTURES
extern "C" {
#include <libavformat/avformat.h>
}
#endif

#include "TestSupport.h"

namespace avitest {

const CodecCase kCodecCases[] = {
    {"mjpeg", 0, 64, 48, 24},    {"mpeg4", 0, 64, 48, 24},      {"libx264", 0, 64, 48, 24},
    {"dvvideo", 0, 720, 576, 24}, {"cinepak", 0, 64, 48, 24},    {"msvideo1", 0, 64, 48, 16},
    {"msrle", 0, 64, 48, 8},      {"huffyuv", 0, 64, 48, 24},    {"ffv1", 0, 64, 48, 24},
    {"rawvideo", 24, 64, 48, 24}, {"rawvideo", 8, 64, 48, 8},    {"rawvideo", 16, 64, 48, 16},
};
const size_t kCodecCaseCount = sizeof kCodecCases / sizeof kCodecCases[0];

std::string CodecFixtureName(const CodecCase& c) {
    std::string name = std::string("codec-") + c.codec;
    if (c.raw_bits) name += "-" + std::to_string(c.raw_bits);
    return name;
}

namespace {

struct Entry {
    AviSpec clip;
    std::vector<uint8_t> (*patch)(std::vector<uint8_t>) = nullptr;
    std::string path;
    std::string error;
    bool made = false;
};

std::vector<uint8_t> NoIndex(std::vector<uint8_t> f) {
    ReplaceFourCC(f, "idx1", "JUNK");
    ReplaceFourCC(f, "indx", "JUNK");
    return f;
}
std::vector<uint8_t> ScaleZero(std::vector<uint8_t> f) {
    PatchStreamScale(f, 0, 0);
    return f;
}
std::vector<uint8_t> BadFirstVideo(std::vector<uint8_t> f) {
    PatchVideoCodec(f, 0, "XQZ9");
    return f;
}
std::vector<uint8_t> AudioOnly(std::vector<uint8_t> f) {
    // The video stream turns into a stream of another kind ("txts"), leaving only audio.
    ReplaceFourCC(f, "vids", "txts");
    return f;
}

struct Registry {
    std::mutex lock;
    std::string dir;
    std::map<std::string, Entry> entries;

    Registry() {
        AviSpec gop10;
        gop10.frames = 100;
        Add("mpeg4-gop10", gop10);
        AviSpec r59;
        r59.codec = "mjpeg";
        r59.width = 48;
        r59.height = 32;
        r59.frames = 320;
        r59.rate_num = 59;
        r59.rate_den = 2;
        Add("rate-59-2", r59);
        AviSpec ntsc = r59;
        ntsc.frames = 70;
        ntsc.rate_num = 30000;
        ntsc.rate_den = 1001;
        Add("ntsc", ntsc);
        AviSpec s0 = r59;
        s0.frames = 12;
        Add("scale0", s0, ScaleZero);
        AviSpec audio = gop10;
        audio.audio_first = true;
        Add("audio-first", audio);
        Add("audio-only", audio, AudioOnly);
        AviSpec two = gop10;
        two.frames = 40;
        two.second_video = true;
        Add("two-video", two);
        Add("bad-first-video", two, BadFirstVideo);
        AviSpec mj = r59;
        mj.frames = 40;
        Add("no-index-mjpeg", mj, NoIndex);
        Add("no-index-mpeg4", gop10, NoIndex);
        AviSpec one = gop10;
        one.gop = 1000;
        Add("one-key", one);
        for (size_t i = 0; i < kCodecCaseCount; ++i) {
            const CodecCase& c = kCodecCases[i];
            AviSpec s;
            s.codec = c.codec;
            s.raw_bits = c.raw_bits ? c.raw_bits : 24;
            s.width = c.width;
            s.height = c.height;
            s.frames = c.width > 100 ? 12 : 40;
            s.gop = 5;
            Add(CodecFixtureName(c), s);
        }
    }
    ~Registry() {
#if ZEM_AVI_MAKE_FIXTURES
        if (!dir.empty()) testing_support::RemoveTree(dir);
#endif
    }
    void Add(const std::string& name, const AviSpec& clip,
             std::vector<uint8_t> (*patch)(std::vector<uint8_t>) = nullptr) {
        Entry& e = entries[name];
        e.clip = clip;
        e.patch = patch;
    }
    Entry& Get(const std::string& name) {
        std::lock_guard<std::mutex> hold(lock);
        Entry& e = entries.at(name);
        if (e.made) return e;
        e.made = true;
#if ZEM_AVI_MAKE_FIXTURES
        if (dir.empty()) dir = testing_support::MakeTempDir();
        const std::string path = dir + "/" + name + ".avi";
        e.error = MakeAvi(path, e.clip);
#else
        // Made beforehand by the native avi_make_fixtures: this build has no FFmpeg.
        const std::string path = std::string(ZEM_AVI_FIXTURE_DIR) + "/" + name + ".avi";
        std::vector<uint8_t> probe;
        if (!testing_support::ReadWholeFile(path, probe)) {
            e.error = path + " is missing (made by the native build's avi_make_fixtures)";
            return e;
        }
        e.patch = nullptr;
#endif
        if (e.error.empty() && e.patch) {
            std::vector<uint8_t> bytes;
            if (!testing_support::ReadWholeFile(path, bytes) ||
                !testing_support::WriteWholeFile(path, e.patch(bytes))) {
                e.error = "cannot patch " + path;
            }
        }
        if (e.error.empty()) e.path = path;
        return e;
    }
};

Registry& TheRegistry() {
    static Registry registry;
    return registry;
}

}  // namespace

std::vector<bool> IndexKeyFrames(const std::string& path) {
    std::vector<bool> keys;
    std::vector<uint8_t> bytes;
    avi::Contents contents;
    if (!testing_support::ReadWholeFile(path, bytes) ||
        avi::ParseAvi(bytes.data(), bytes.size(), contents) != avi::ParseStatus::Ok) {
        return keys;
    }
    for (const avi::Stream& s : contents.streams) {
        if (s.header.type != avi::kStreamVideo) continue;
        for (const avi::Chunk& c : s.chunks) keys.push_back(c.key);
        break;
    }
    return keys;
}

#if ZEM_AVI_MAKE_FIXTURES
std::vector<bool> LibavformatKeyFrames(const std::string& path) {
    std::vector<bool> keys;
    AVFormatContext* fmt = nullptr;
    if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0) return keys;
    avformat_find_stream_info(fmt, nullptr);
    for (unsigned i = 0; i < fmt->nb_streams; ++i) {
        AVStream* s = fmt->streams[i];
        if (s->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) continue;
        for (int k = 0; k < avformat_index_get_entries_count(s); ++k) {
            const AVIndexEntry* e = avformat_index_get_entry(s, k);
            keys.push_back((e->flags & AVINDEX_KEYFRAME) != 0);
        }
        break;
    }
    avformat_close_input(&fmt);
    return keys;
}
#endif

int ExpectedKeyFrame(const std::vector<bool>& keys, int target) {
    for (int k = target; k >= 0 && k < static_cast<int>(keys.size()); ++k) {
        if (keys[static_cast<size_t>(k)]) return k;
    }
    for (int k = std::min(target, static_cast<int>(keys.size()) - 1); k >= 0; --k) {
        if (keys[static_cast<size_t>(k)]) return k;
    }
    return -1;
}

std::vector<std::string> FixtureNames() {
    std::vector<std::string> names;
    for (const auto& entry : TheRegistry().entries) names.push_back(entry.first);
    return names;
}

const std::string& Fixture(const std::string& name) { return TheRegistry().Get(name).path; }
const std::string& FixtureError(const std::string& name) { return TheRegistry().Get(name).error; }
const AviSpec& FixtureSpec(const std::string& name) { return TheRegistry().Get(name).clip; }

}  // namespace avitest
