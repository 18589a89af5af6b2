// One opened video decoder. It is fed packets in decode order and hands out frames; the caller
// decides where the packets come from (libavformat, or a container read by our own code).
#pragma once

#include <cstdint>
#include <vector>

#include "FfmpegPtr.h"
#include "Status.h"

namespace video {

// What a decoder needs when the container is parsed by our own code instead of libavformat.
struct CodecSetup {
    AVCodecID codec_id = AV_CODEC_ID_NONE;
    uint32_t codec_tag = 0;  // the four-character code as stored (biCompression)
    int width = 0;
    int height = 0;  // positive; top-down storage is the codec's business
    int bits_per_coded_sample = 0;
    std::vector<uint8_t> extradata;  // bytes after a BITMAPINFOHEADER, for example
};

// The codec that libavformat's RIFF tables give a BITMAPINFOHEADER compression code or an AVI
// stream handler; AV_CODEC_ID_NONE when there is none.
AVCodecID CodecForFourcc(uint32_t fourcc);

// Silences FFmpeg's own messages (they go to standard error by default): a plug-in shows and
// logs nothing. Sets FFmpeg's process-wide log level, once per process; every opening of a file
// or a decoder calls it first.
void QuietLibraryLogs();

class Decoder {
public:
    // Opens a decoder from explicit parameters: Unsupported when no decoder exists, NoMemory,
    // or the reason the decoder refuses to open. Decoding runs on the calling thread only, so
    // frames come out without a threading delay.
    [[nodiscard]] Status Open(const CodecSetup& setup);

    // Decodes one packet (null: end of input, which drains the frames held back) and appends
    // every frame that comes out to `frames`, in output order. Not Ok on a decoding error that
    // leaves nothing usable, or when memory is short; a packet the codec rejects as damaged is
    // skipped and gives Ok.
    [[nodiscard]] Status Decode(const AVPacket* packet, std::vector<FramePtr>& frames);
    // Forgets all state before decoding from a new key frame.
    void Flush();

    AVCodecContext* Context() const { return m_context.get(); }
    bool IsOpen() const { return m_context != nullptr; }

private:
    Status OpenContext(const AVCodec* codec);

    CodecPtr m_context;
    bool m_draining = false;
};

}  // namespace video
