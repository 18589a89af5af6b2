// The test AVI files shared by the avisrc suites, made once per test program in a temporary
// folder.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "AviMaker.h"

namespace avitest {

// The fixture files by name: "mpeg4-gop10" (100 frames, 25 fps, key every 10), "rate-59-2",
// "ntsc", "scale0", "audio-first", "two-video", "bad-first-video", "no-index-mjpeg",
// "no-index-mpeg4", "one-key", "audio-only", one per codec ("codec-mjpeg", ...). Made on first
// use; a fixture that could not be made maps to an empty path, with the reason in Error().
const std::string& Fixture(const std::string& name);
const std::string& FixtureError(const std::string& name);
// Every fixture name.
std::vector<std::string> FixtureNames();
// The recipe each fixture was written from: its streams, codecs, index and sizes.
const AviSpec& FixtureSpec(const std::string& name);

// The key-frame flags of the first video stream as libavformat reads them from the index
// (native builds).
std::vector<bool> LibavformatKeyFrames(const std::string& path);
// The same as the stand-in's RIFF/index reader reads them.
std::vector<bool> IndexKeyFrames(const std::string& path);
// The key frame that avisrc should give for a target frame: the first at or after it, else the
// last before it; -1 when there is none.
int ExpectedKeyFrame(const std::vector<bool>& keys, int target);

// The codecs of the per-codec fixtures and the DIB bit count avisrc gives for each.
struct CodecCase {
    const char* codec;
    int raw_bits;
    int width;
    int height;
    int bit_count;
};
extern const CodecCase kCodecCases[];
extern const size_t kCodecCaseCount;
std::string CodecFixtureName(const CodecCase& c);

}  // namespace avitest
