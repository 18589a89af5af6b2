// avisrc's GetPicture (file source, one handle, through the loaded module) at 50 % of a
// 60-second 1920x1080 MPEG-4 AVI with a key frame every 250 frames, against the ffmpeg command
// seeking to that key frame's time and writing the same frame to a BMP, in the same run. Also
// times the default position and zemhost decoding the file to a BMP (a process each, as ffmpeg).
// Prints the medians and the ratios; exits 1 when GetPicture takes more than half ffmpeg's time
// or the two give different frames.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "../bmp/DibToRgb.h"
#include "AviFixtures.h"
#include "AviMaker.h"
#include "PluginModule.h"
#include "TestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kFrames = 60 * 30;
constexpr int kGop = 250;
constexpr int kRuns = 7;

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

template <class Body>
double MedianSeconds(Body&& body) {
    std::vector<double> times;
    for (int i = 0; i < kRuns; ++i) {
        const auto t0 = Clock::now();
        body();
        times.push_back(std::chrono::duration<double>(Clock::now() - t0).count());
    }
    return Median(times);
}

int FrameOf(const std::vector<uint8_t>& dib) {
    bmp_test::RgbImage image;
    if (!bmp_test::DibToRgb(dib.data(), dib.size(), image).empty()) return -1;
    return avitest::ReadFrameNumber(image.rgb.data(), image.width, image.height);
}

}  // namespace

int main() {
    const std::string work = ZEM_BENCH_WORK_DIR;
    std::system(("mkdir -p '" + work + "'").c_str());
    const std::string avi = work + "/hd-60s-gop250.avi";
    std::vector<uint8_t> probe;
    if (!testing_support::ReadWholeFile(avi, probe)) {
        std::printf("making %s (%d frames)...\n", avi.c_str(), kFrames);
        avitest::AviSpec clip;
        clip.codec = "mpeg4";
        clip.width = 1920;
        clip.height = 1080;
        clip.frames = kFrames;
        clip.rate_num = 30;
        clip.gop = kGop;
        if (std::string e = avitest::MakeAvi(avi, clip); !e.empty()) {
            std::printf("cannot make the file: %s\n", e.c_str());
            return 1;
        }
    }
    PluginModule avisrc;
    std::string error;
    if (!avisrc.Load(std::string(ZEM_BENCH_PLUGIN_DIR) + "/avisrc.so", error)) {
        std::printf("cannot load avisrc: %s\n", error.c_str());
        return 1;
    }
    std::vector<uint8_t> dib;
    auto get = [&](int32_t position) {
        PictureRequestBlock block{};
        std::memcpy(block.tag, "zem", 3);
        block.field52 = position;
        SpiHandle info = nullptr;
        const int32_t rc = avisrc.GetPicture(avi.c_str(), 0, SPI_SRC_FILE, &info, nullptr, nullptr,
                                             reinterpret_cast<SpiUserData>(&block));
        if (rc != SPI_OK) {
            std::printf("GetPicture failed: %d\n", rc);
            std::exit(1);
        }
        dib = testing_support::HandleBytes(info);
        testing_support::FreeHandle(info);
    };

    // The key frame at or after 50 %, from the file's index.
    const int key = avitest::ExpectedKeyFrame(avitest::IndexKeyFrames(avi), kFrames / 2);
    const double seconds_at_key = key / 30.0;
    const double t_mid = MedianSeconds([&] { get(-50); });
    const int our_frame = FrameOf(dib);
    const double t_default = MedianSeconds([&] { get(-1); });

    const std::string bmp = work + "/ffmpeg.bmp";
    char command[1024];
    std::snprintf(command, sizeof command,
                  "ffmpeg -nostdin -hide_banner -loglevel error -y -ss %.3f -i '%s' -frames:v 1 "
                  "'%s'",
                  seconds_at_key, avi.c_str(), bmp.c_str());
    const double t_ffmpeg = MedianSeconds([&] {
        if (std::system(command) != 0) std::exit(1);
    });
    std::vector<uint8_t> bmp_bytes;
    testing_support::ReadWholeFile(bmp, bmp_bytes);
    const std::vector<uint8_t> ffmpeg_dib(bmp_bytes.begin() + std::min<size_t>(14, bmp_bytes.size()),
                                          bmp_bytes.end());
    const int ffmpeg_frame = FrameOf(ffmpeg_dib);

    const std::string zemhost = std::string(ZEM_BENCH_PLUGIN_DIR) + "/../zemhost";
    const std::string host_command = "'" + zemhost + "' decode '" + avi + "' --position -50 -o '" +
                                     work + "/zemhost.bmp' >/dev/null";
    const double t_zemhost = MedianSeconds([&] {
        if (std::system(host_command.c_str()) != 0) std::exit(1);
    });

    std::printf("key frame at 50 %%: %d (%.3f s; every %d frames); avisrc gave frame %d, ffmpeg "
                "frame %d\n",
                key, seconds_at_key, kGop, our_frame, ffmpeg_frame);
    std::printf("GetPicture at -50:       %8.2f ms (median of %d)\n", t_mid * 1e3, kRuns);
    std::printf("GetPicture at default:   %8.2f ms\n", t_default * 1e3);
    std::printf("ffmpeg -ss to BMP:       %8.2f ms\n", t_ffmpeg * 1e3);
    std::printf("zemhost decode to BMP:   %8.2f ms\n", t_zemhost * 1e3);
    const double ratio = t_mid / t_ffmpeg;
    std::printf("ratio GetPicture / ffmpeg: %.3f (limit 0.5); zemhost / ffmpeg: %.3f\n", ratio,
                t_zemhost / t_ffmpeg);
    if (our_frame != key || ffmpeg_frame != key) {
        std::printf("avi_bench: the frames differ from the key frame\n");
        return 1;
    }
    return ratio <= 0.5 ? 0 : 1;
}
