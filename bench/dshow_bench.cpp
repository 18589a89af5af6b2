// dshowsrc's GetPicture (file source, one handle, through the loaded module) against
// `ffmpeg -ss T -i clip.mp4 -frames:v 1 out.bmp`, in the same run and for the same frame, on a
// 60-second 1920x1080 25 fps H.264 MP4 with B-frames and a key frame every 250 frames, written
// here with libx264 (a textured picture panning as a camera pans, under the frame-number bands;
// kept in the build folder for later runs). At 39 s the frame lies nine
// seconds past its key frame; 40 s is a key frame, 0 s the first frame. Prints the median wall
// time of each and the ratio dshowsrc / ffmpeg. Usage: dshow_bench [CLIP_DIR]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ClipMaker.h"
#include "PluginModule.h"
#include "TestSupport.h"
#include "platform/platform.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRepeats = 3;

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// GetPicture at `seconds`; the frame number in its pixels, -1 when it failed.
int PluginFrame(PluginModule& plugin, const std::string& clip, int seconds, double& elapsed) {
    PictureRequestBlock block;
    std::memset(&block, 0, sizeof block);
    std::memcpy(block.tag, "zem", 3);
    block.field52 = seconds;
    SpiHandle info = nullptr;
    const auto start = Clock::now();
    const int32_t result = plugin.GetPicture(clip.c_str(), 0, SPI_SRC_FILE, &info, nullptr,
                                             nullptr, reinterpret_cast<SpiUserData>(&block));
    elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    if (result != 0 || !info) return -1;
    const std::vector<uint8_t> dib = testing_support::HandleBytes(info);
    testing_support::FreeHandle(info);
    return cliptest::ReadFrameNumber(dib.data(), dib.size());
}

int FfmpegFrame(const std::string& clip, int seconds, const std::string& bmp, double& elapsed) {
    const std::string command = "ffmpeg -nostdin -v error -y -ss " + std::to_string(seconds) +
                                " -i '" + clip + "' -frames:v 1 '" + bmp + "'";
    const auto start = Clock::now();
    const int status = std::system(command.c_str());
    elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    std::vector<uint8_t> file;
    if (status != 0 || !testing_support::ReadWholeFile(bmp, file) || file.size() < 14) return -1;
    return cliptest::ReadFrameNumber(file.data() + 14, file.size() - 14);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string dir = argc > 1 ? argv[1] : platform::ExecutableDir();
    const std::string clip = dir + "/dshow-bench-1080p-60s.mp4";
    std::vector<uint8_t> existing;
    if (!testing_support::ReadWholeFile(clip, existing) || existing.empty()) {
        std::printf("writing %s (1500 frames of 1920x1080 with libx264)...\n", clip.c_str());
        cliptest::ClipSpec want;
        want.muxer = "mp4";
        want.width = 1920;
        want.height = 1080;
        want.fps = 25;
        want.frames = 1500;
        want.gop = 250;
        want.b_frames = 3;
        want.motion = true;
        std::string error;
        if (!cliptest::MakeClip(clip, want, error)) {
            std::fprintf(stderr, "dshow_bench: %s\n", error.c_str());
            return 1;
        }
    }
    PluginModule plugin;
    std::string error;
    if (!plugin.Load(std::string(ZEM_BENCH_PLUGIN_DIR) + "/dshowsrc" + platform::ModuleSuffix(),
                     error)) {
        std::fprintf(stderr, "dshow_bench: %s\n", error.c_str());
        return 1;
    }
    const std::string bmp = dir + "/dshow-bench-ffmpeg.bmp";
    int status = 0;
    std::printf("%-10s %-8s %12s %12s %8s\n", "position", "frame", "dshowsrc ms", "ffmpeg ms",
                "ratio");
    for (int seconds : {39, 0, 40}) {
        std::vector<double> ours, theirs;
        int our_frame = -1;
        int their_frame = -1;
        for (int i = 0; i < kRepeats; ++i) {
            double t = 0;
            our_frame = PluginFrame(plugin, clip, seconds, t);
            ours.push_back(t);
            their_frame = FfmpegFrame(clip, seconds, bmp, t);
            theirs.push_back(t);
        }
        const double ratio = Median(ours) / Median(theirs);
        std::printf("%-10d %-8d %12.1f %12.1f %8.2f%s\n", seconds, our_frame, Median(ours) * 1e3,
                    Median(theirs) * 1e3, ratio,
                    our_frame == their_frame ? "" : "  (frames differ!)");
        // The pixels carry the frame number's low eight bits.
        if (our_frame != (seconds * 25) % 256 || their_frame != our_frame) status = 1;
    }
    std::remove(bmp.c_str());
    return status;
}
