#include "DshowClips.h"

#include <cstdio>
#include <cstdlib>

#include "TestSupport.h"

namespace cliptest {

const std::vector<NamedClip>& StandardClips() {
    static const std::vector<NamedClip> clips = [] {
        std::vector<NamedClip> list;
        auto add = [&](const char* name, const char* muxer, Codec codec, const char* code) {
            NamedClip c{name, ClipSpec{}, code};
            c.want.muxer = muxer;
            c.want.codec = codec;
            list.push_back(c);
            return &list.back().want;
        };
        add("h264.mp4", "mp4", Codec::H264, "avc1");
        add("h264.mkv", "matroska", Codec::H264, "H264");
        // A program stream has times only where a packet starts: frames that fill packets of
        // their own give every frame its time, and the stream its length.
        ClipSpec* ps = add("mpeg2.mpg", "vob", Codec::Mpeg2, "MPG2");
        ps->width = 128;
        ps->height = 96;
        ps->grain = true;
        // AVI keeps no presentation times: its frames are stored in the order they show.
        add("mpeg4.avi", "avi", Codec::Mpeg4, "FMP4")->b_frames = 0;
        add("mpeg4.m4v", "mp4", Codec::Mpeg4, "mp4v");
        add("audio-first.mp4", "mp4", Codec::H264, "avc1")->audio_first = true;
        add("audio-first.mkv", "matroska", Codec::H264, "H264")->audio_first = true;
        ClipSpec* avi = add("audio-first.avi", "avi", Codec::Mpeg4, "FMP4");
        avi->audio_first = true;
        avi->b_frames = 0;
        ClipSpec* odd = add("odd-444.mkv", "matroska", Codec::H264Yuv444, "H264");
        odd->width = 33;
        odd->height = 17;
        ClipSpec* padded = add("padded.mp4", "mp4", Codec::H264, "avc1");
        padded->width = 66;
        padded->height = 38;
        add("no-length.mkv", "matroska", Codec::H264, "H264")->unseekable = true;
        return list;
    }();
    return clips;
}

bool WriteStandardClips(const std::string& dir, std::string& error) {
    for (const NamedClip& clip : StandardClips()) {
        if (!MakeClip(dir + "/" + clip.name, clip.want, error)) {
            error = std::string(clip.name) + ": " + error;
            return false;
        }
    }
    return true;
}

namespace {

struct ClipFolder {
    ClipFolder() {
        dir = testing_support::MakeTempDir();
        if (!WriteStandardClips(dir, error)) {
            testing_support::RemoveTree(dir);
            dir.clear();
        }
    }
    // ZEM_KEEP_CLIPS=1 keeps the folder for a look at the clips.
    ~ClipFolder() {
        if (std::getenv("ZEM_KEEP_CLIPS")) {
            std::printf("clips kept in %s\n", dir.c_str());
        } else {
            testing_support::RemoveTree(dir);
        }
    }
    std::string dir;
    std::string error;
};

}  // namespace

const std::string& ClipDir(std::string* error) {
    static ClipFolder folder;
    if (error) *error = folder.error;
    return folder.dir;
}

}  // namespace cliptest
