// A media file opened with libavformat: its streams, their durations, and the frame of a video
// stream that shows at a given time, found by seeking to a key frame and decoding forward.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Decoder.h"
#include "FfmpegPtr.h"
#include "LocalInput.h"

namespace video {

class InputFile {
public:
    // Opens the file (a path in the native encoding) and reads its stream information. False
    // when libavformat cannot open or probe it.
    bool Open(const std::string& path);
    void Close();

    AVFormatContext* Format() const { return m_format.get(); }
    int StreamCount() const;
    AVStream* Stream(int index) const;
    // The audio and video streams in file order (other kinds left out).
    std::vector<int> MediaStreams() const;
    // The first stream of `type` in file order, or -1.
    int FirstStream(AVMediaType type) const;

    // The stream's duration in seconds: its own, else the container's, else 0.
    double DurationSeconds(int index) const;
    // The time of the stream's first frame in its time base (0 when unknown); times of
    // DecodeFrameAt count from it.
    int64_t StartTimestamp(int index) const;

    // Decodes the frame of video stream `index` that shows at `seconds` after its first frame:
    // the last frame whose presentation time is not after that time; the first frame for a time
    // before it, the last frame for a time past the end. Seeks to the key frame at or before the
    // time and decodes forward; the decoder stays open between calls on the same stream. Null
    // when nothing decodes.
    FramePtr DecodeFrameAt(int index, double seconds);
    // The same with the time in the stream's time base, counted from StartTimestamp.
    FramePtr DecodeFrameAtTimestamp(int index, int64_t timestamp);

private:
    bool PrepareDecoder(int index);
    // Seeks so that the next packets start at a key frame at or before `timestamp` (absolute).
    bool SeekBefore(int index, int64_t timestamp);

    std::unique_ptr<LocalInput> m_input;  // what m_format may open; outlives it
    FormatPtr m_format;
    Decoder m_decoder;
    int m_decoderStream = -1;
};

}  // namespace video
