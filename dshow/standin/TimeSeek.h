// Frames by time: a media file opened with libavformat, the facts of its audio and video
// streams, and the frame of a video stream that shows at a given time, decoded exactly and
// converted once with swscale into 24-bit BGR rows. Nothing here knows about plug-ins or DIB
// headers: the caller says where the rows go.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Status.h"

namespace video {

enum class StreamKind { Video, Audio };

struct StreamFacts {
    int index = 0;  // libavformat's stream index
    StreamKind kind = StreamKind::Video;
    // Video: the coded picture size, the container's four-character code or else the codec's
    // usual one, and the frame rate (0 when unknown).
    int width = 0;
    int height = 0;
    uint32_t four_cc = 0;
    double frame_rate = 0.0;
    // Audio: the format tag of the codec as a wave format, rate, channels, sample bits.
    uint32_t wave_tag = 0;
    int sample_rate = 0;
    int channels = 0;
    int bits_per_sample = 0;
    // Both: the stream's length in seconds (the container's when the stream has none, 0 when
    // neither is known) and its bit rate (0 when unknown).
    double length = 0.0;
    int64_t bit_rate = 0;
};

class TimedMedia {
public:
    TimedMedia();
    ~TimedMedia();
    TimedMedia(const TimedMedia&) = delete;
    TimedMedia& operator=(const TimedMedia&) = delete;

    // Opens the file (native path) and reads its stream facts; not Ok when libavformat cannot
    // (NoMemory when memory is short).
    [[nodiscard]] Status Open(const std::string& path);
    void Close();
    bool IsOpen() const;

    // The audio and video streams, in file order.
    const std::vector<StreamFacts>& Streams() const { return m_streams; }

    // Decodes the frame of video stream `stream` (an index into Streams()) that shows `seconds`
    // after the stream's first frame: the last frame whose presentation time is not after it,
    // the first frame for a time before it, the last one for a time past the end. Writes it as
    // 24-bit BGR, `width` x `height` (scaled when they differ from the frame), rows bottom-up
    // and padded to 4 bytes (DibStrideFor(24, width) each), to `rows`. Not Ok when no frame can
    // be decoded: NoMemory, Unsupported (no decoder, no conversion) or Broken.
    [[nodiscard]] Status FrameAt(size_t stream, double seconds, int width, int height,
                                 uint8_t* rows);

    // The time, in seconds after the stream's first frame, of the last key frame of video
    // stream `stream` whose presentation time is not after `seconds`: 0 (the first frame) when
    // there is none. A frame taken at that time is the key frame, which decodes alone. Not Ok
    // when the file cannot be read.
    [[nodiscard]] Status KeyFrameTime(size_t stream, double seconds, double& key_seconds);

private:
    struct State;
    std::unique_ptr<State> m_state;
    std::vector<StreamFacts> m_streams;
};

}  // namespace video
