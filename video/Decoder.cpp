#include "Decoder.h"

#include <climits>
#include <cstring>
#include <mutex>
#include <new>

extern "C" {
#include <libavformat/avformat.h>
}

namespace video {

void QuietLibraryLogs() {
    // Once: threads that open files side by side would otherwise all write the level.
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

AVCodecID CodecForFourcc(uint32_t fourcc) {
    const AVCodecTag* const tables[] = {avformat_get_riff_video_tags(), nullptr};
    return av_codec_get_id(tables, fourcc);
}

Status Decoder::OpenContext(const AVCodec* codec) {
    QuietLibraryLogs();
    m_context->thread_count = 1;
    m_context->flags2 |= AV_CODEC_FLAG2_SHOW_ALL;  // frames before a missing reference still count
    const int opened = avcodec_open2(m_context.get(), codec, nullptr);
    if (opened < 0) {
        m_context.reset();
        return StatusOfAvError(opened);
    }
    m_draining = false;
    return Status::Ok;
}

Status Decoder::Open(const CodecSetup& setup) {
    m_context.reset();
    const AVCodec* codec = avcodec_find_decoder(setup.codec_id);
    if (!codec) return Status::Unsupported;
    if (setup.extradata.size() > INT_MAX - AV_INPUT_BUFFER_PADDING_SIZE) return Status::NoMemory;
    m_context.reset(avcodec_alloc_context3(codec));
    if (!m_context) return Status::NoMemory;
    AVCodecContext* c = m_context.get();
    c->codec_type = AVMEDIA_TYPE_VIDEO;
    c->codec_tag = setup.codec_tag;
    c->width = setup.width;
    c->height = setup.height;
    c->coded_width = setup.width;
    c->coded_height = setup.height;
    c->bits_per_coded_sample = setup.bits_per_coded_sample;
    if (!setup.extradata.empty()) {
        const size_t n = setup.extradata.size();
        c->extradata = static_cast<uint8_t*>(av_mallocz(n + AV_INPUT_BUFFER_PADDING_SIZE));
        if (!c->extradata) {
            m_context.reset();
            return Status::NoMemory;
        }
        std::memcpy(c->extradata, setup.extradata.data(), n);
        c->extradata_size = static_cast<int>(n);
    }
    return OpenContext(codec);
}

void Decoder::Flush() {
    if (m_context) avcodec_flush_buffers(m_context.get());
    m_draining = false;
}

Status Decoder::Decode(const AVPacket* packet, std::vector<FramePtr>& frames) {
    if (!m_context) return Status::Broken;
    if (m_draining) return Status::Ok;  // drained: nothing more comes out until the next Flush
    int rc = avcodec_send_packet(m_context.get(), packet);
    if (!packet) m_draining = true;
    // Damaged data is the codec's to conceal; the next packet may decode again.
    if (rc < 0 && rc != AVERROR(EAGAIN) && rc != AVERROR_EOF && rc != AVERROR_INVALIDDATA) {
        return StatusOfAvError(rc);
    }
    for (;;) {
        FramePtr frame = MakeFrame();
        if (!frame) return Status::NoMemory;
        rc = avcodec_receive_frame(m_context.get(), frame.get());
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF || rc == AVERROR_INVALIDDATA) {
            return Status::Ok;
        }
        if (rc < 0) return StatusOfAvError(rc);
        try {
            frames.push_back(std::move(frame));
        } catch (const std::bad_alloc&) {
            return Status::NoMemory;
        }
    }
}

}  // namespace video
