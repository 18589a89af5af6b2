#include "ClipMaker.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "FfmpegPtr.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

namespace cliptest {

namespace {

using video::CodecPtr;
using video::FramePtr;
using video::PacketPtr;

// A smooth random texture (value noise over two lattices), 2048 pixels square, that the
// moving clips pan across: motion that a decoder can follow with short vectors, as in a camera
// pan, unlike a periodic pattern whose many equal matches make an encoder pick far ones.
constexpr int kTextureBits = 11;
constexpr int kTextureSize = 1 << kTextureBits;

const std::vector<uint8_t>& PanTexture() {
    static const std::vector<uint8_t> texture = [] {
        std::vector<uint8_t> t(static_cast<size_t>(kTextureSize) * kTextureSize);
        auto lattice = [](uint32_t x, uint32_t y, uint32_t seed) {
            uint32_t h = x * 73856093u ^ y * 19349663u ^ seed * 83492791u;
            h ^= h >> 13;
            h *= 0x5bd1e995u;
            h ^= h >> 15;
            return static_cast<int>(h & 255) - 128;
        };
        auto noise = [&](int x, int y, int step, uint32_t seed) {
            const int gx = x / step;
            const int gy = y / step;
            const int fx = x % step;
            const int fy = y % step;
            const int cells = kTextureSize / step;
            auto at = [&](int cx, int cy) {
                return lattice(static_cast<uint32_t>(cx % cells), static_cast<uint32_t>(cy % cells),
                               seed);
            };
            const int top = at(gx, gy) * (step - fx) + at(gx + 1, gy) * fx;
            const int bottom = at(gx, gy + 1) * (step - fx) + at(gx + 1, gy + 1) * fx;
            return (top * (step - fy) + bottom * fy) / (step * step);
        };
        for (int y = 0; y < kTextureSize; ++y) {
            for (int x = 0; x < kTextureSize; ++x) {
                const int v = (noise(x, y, 64, 1) * 2 + noise(x, y, 8, 2)) / 3;
                t[static_cast<size_t>(y) * kTextureSize + static_cast<size_t>(x)] =
                    static_cast<uint8_t>(128 + v);
            }
        }
        return t;
    }();
    return texture;
}

// An output that cannot seek back: the muxer writes no duration and no index.
int WriteToFile(void* opaque, uint8_t* data, int size) {
    return std::fwrite(data, 1, static_cast<size_t>(size), static_cast<FILE*>(opaque)) ==
                   static_cast<size_t>(size)
               ? size
               : AVERROR(EIO);
}

class Writer {
public:
    ~Writer() {
        if (m_format) {
            if (m_custom) {
                if (m_format->pb) av_freep(&m_format->pb->buffer);
                avio_context_free(&m_format->pb);
            } else if (m_format->pb) {
                avio_closep(&m_format->pb);
            }
            avformat_free_context(m_format);
        }
        if (m_file) std::fclose(m_file);
    }

    bool Run(const std::string& path, const ClipSpec& want, std::string& error) {
        if (avformat_alloc_output_context2(&m_format, nullptr, want.muxer, path.c_str()) < 0) {
            error = std::string("no muxer ") + want.muxer;
            return false;
        }
        if (want.audio_first && !AddAudio(error)) return false;
        if (!AddVideo(want, error)) return false;
        if (!OpenOutput(path, want.unseekable, error)) return false;
        if (avformat_write_header(m_format, nullptr) < 0) {
            error = "header not written";
            return false;
        }
        FramePtr frame(av_frame_alloc());
        frame->format = m_video->pix_fmt;
        frame->width = want.width;
        frame->height = want.height;
        if (av_frame_get_buffer(frame.get(), 0) < 0) return false;
        for (int n = 0; n < want.frames; ++n) {
            if (av_frame_make_writable(frame.get()) < 0) return false;
            Paint(*frame, n, want.grain, want.motion);
            frame->pts = n;
            if (!Encode(m_video.get(), m_videoStream, frame.get())) return Failed(error, "video");
            if (m_audio && !WriteAudioUntil(static_cast<double>(n + 1) / want.fps)) {
                return Failed(error, "audio");
            }
        }
        if (!Encode(m_video.get(), m_videoStream, nullptr)) return Failed(error, "video flush");
        if (m_audio && !Encode(m_audio.get(), m_audioStream, nullptr)) {
            return Failed(error, "audio flush");
        }
        if (av_write_trailer(m_format) < 0) return Failed(error, "trailer");
        return true;
    }

private:
    static bool Failed(std::string& error, const char* what) {
        error = std::string("encoding failed: ") + what;
        return false;
    }

    bool AddVideo(const ClipSpec& want, std::string& error) {
        const char* name = want.codec == Codec::Mpeg2    ? "mpeg2video"
                           : want.codec == Codec::Mpeg4  ? "mpeg4"
                           : want.codec == Codec::Vp8    ? "libvpx"
                           : want.codec == Codec::Theora ? "libtheora"
                                                         : "libx264";
        const AVCodec* codec = avcodec_find_encoder_by_name(name);
        if (!codec) {
            error = std::string("no encoder ") + name;
            return false;
        }
        m_video.reset(avcodec_alloc_context3(codec));
        AVCodecContext* c = m_video.get();
        c->width = want.width;
        c->height = want.height;
        c->time_base = {1, want.fps};
        c->framerate = {want.fps, 1};
        c->gop_size = want.gop;
        c->max_b_frames = want.b_frames;
        c->pix_fmt = want.codec == Codec::H264Yuv444 ? AV_PIX_FMT_YUV444P : AV_PIX_FMT_YUV420P;
        c->thread_count = want.width * want.height > 100000 ? 0 : 1;  // threads for big frames
        if (want.codec == Codec::H264 || want.codec == Codec::H264Yuv444) {
            av_opt_set(c->priv_data, "preset", want.x264_preset, 0);
            std::string params = "keyint=" + std::to_string(want.gop) +
                                 ":min-keyint=" + std::to_string(want.gop) +
                                 ":scenecut=0:qp=12:bframes=" + std::to_string(want.b_frames);
            if (*want.x264_params) params += std::string(":") + want.x264_params;
            av_opt_set(c->priv_data, "x264-params", params.c_str(), 0);
        } else if (want.codec == Codec::Vp8) {
            c->bit_rate = 1000000;
        } else {
            c->flags |= AV_CODEC_FLAG_QSCALE;
            c->global_quality = FF_QP2LAMBDA * 2;
        }
        if (m_format->oformat->flags & AVFMT_GLOBALHEADER) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        if (avcodec_open2(c, codec, nullptr) < 0) {
            error = std::string("cannot open encoder ") + name;
            return false;
        }
        m_videoStream = avformat_new_stream(m_format, nullptr);
        m_videoStream->time_base = c->time_base;
        m_videoStream->avg_frame_rate = c->framerate;
        avcodec_parameters_from_context(m_videoStream->codecpar, c);
        return true;
    }

    bool AddAudio(std::string& error) {
        const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MP2);
        if (!codec) {
            error = "no MP2 encoder";
            return false;
        }
        m_audio.reset(avcodec_alloc_context3(codec));
        AVCodecContext* c = m_audio.get();
        c->sample_rate = 44100;
        c->sample_fmt = AV_SAMPLE_FMT_S16;
        c->bit_rate = 64000;
        av_channel_layout_default(&c->ch_layout, 1);
        c->time_base = {1, c->sample_rate};
        if (m_format->oformat->flags & AVFMT_GLOBALHEADER) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        if (avcodec_open2(c, codec, nullptr) < 0) {
            error = "cannot open the MP2 encoder";
            return false;
        }
        m_audioStream = avformat_new_stream(m_format, nullptr);
        m_audioStream->time_base = c->time_base;
        avcodec_parameters_from_context(m_audioStream->codecpar, c);
        return true;
    }

    bool OpenOutput(const std::string& path, bool unseekable, std::string& error) {
        if (!unseekable) {
            if (avio_open(&m_format->pb, path.c_str(), AVIO_FLAG_WRITE) < 0) {
                error = "cannot create " + path;
                return false;
            }
            return true;
        }
        m_file = std::fopen(path.c_str(), "wb");
        if (!m_file) {
            error = "cannot create " + path;
            return false;
        }
        constexpr int kBufferSize = 4096;
        auto* buffer = static_cast<unsigned char*>(av_malloc(kBufferSize));
        m_format->pb =
            avio_alloc_context(buffer, kBufferSize, 1, m_file, nullptr, WriteToFile, nullptr);
        m_format->pb->seekable = 0;
        m_format->flags |= AVFMT_FLAG_CUSTOM_IO;
        m_custom = true;
        return true;
    }

    // Eight vertical bands for the bits of n, with grain when asked for.
    static void Paint(AVFrame& frame, int n, bool grain, bool motion) {
        const uint8_t* texture = motion ? PanTexture().data() : nullptr;
        uint32_t seed = 2463534242u + static_cast<uint32_t>(n) * 2654435761u;
        const int chroma_w = frame.format == AV_PIX_FMT_YUV444P ? frame.width : (frame.width + 1) / 2;
        const int chroma_h =
            frame.format == AV_PIX_FMT_YUV444P ? frame.height : (frame.height + 1) / 2;
        for (int y = 0; y < frame.height; ++y) {
            uint8_t* row = frame.data[0] + static_cast<ptrdiff_t>(y) * frame.linesize[0];
            for (int x = 0; x < frame.width; ++x) {
                const int band = x * 8 / frame.width;
                int value = ((n >> band) & 1) ? 215 : 36;
                if (texture) {
                    // The texture moves three pixels right and two down a frame, +-24 levels.
                    const int tx = (x - 3 * n) & (kTextureSize - 1);
                    const int ty = (y - 2 * n) & (kTextureSize - 1);
                    value += (texture[static_cast<size_t>(ty) * kTextureSize +
                                      static_cast<size_t>(tx)] - 128) * 24 / 128;
                }
                if (grain) {
                    seed ^= seed << 13;
                    seed ^= seed >> 17;
                    seed ^= seed << 5;
                    value += static_cast<int>(seed % 41) - 20;
                }
                row[x] = static_cast<uint8_t>(value);
            }
        }
        for (int plane = 1; plane <= 2; ++plane) {
            for (int y = 0; y < chroma_h; ++y) {
                std::memset(frame.data[plane] + static_cast<ptrdiff_t>(y) * frame.linesize[plane],
                            128, static_cast<size_t>(chroma_w));
            }
        }
    }

    bool WriteAudioUntil(double seconds) {
        AVCodecContext* c = m_audio.get();
        // Audio ends with the video, not after it: the container's length stays the video's.
        while (static_cast<double>(m_audioSamples + c->frame_size) / c->sample_rate <= seconds) {
            FramePtr frame(av_frame_alloc());
            frame->format = c->sample_fmt;
            frame->nb_samples = c->frame_size;
            frame->sample_rate = c->sample_rate;
            av_channel_layout_copy(&frame->ch_layout, &c->ch_layout);
            if (av_frame_get_buffer(frame.get(), 0) < 0) return false;
            std::memset(frame->data[0], 0, static_cast<size_t>(frame->linesize[0]));
            frame->pts = m_audioSamples;
            m_audioSamples += c->frame_size;
            if (!Encode(c, m_audioStream, frame.get())) return false;
        }
        return true;
    }

    bool Encode(AVCodecContext* c, AVStream* stream, const AVFrame* frame) {
        if (avcodec_send_frame(c, frame) < 0) return false;
        PacketPtr pkt(av_packet_alloc());
        for (;;) {
            const int got = avcodec_receive_packet(c, pkt.get());
            if (got == AVERROR(EAGAIN) || got == AVERROR_EOF) return true;
            if (got < 0) return false;
            av_packet_rescale_ts(pkt.get(), c->time_base, stream->time_base);
            pkt->stream_index = stream->index;
            if (av_interleaved_write_frame(m_format, pkt.get()) < 0) return false;
        }
    }

    AVFormatContext* m_format = nullptr;
    FILE* m_file = nullptr;
    bool m_custom = false;
    CodecPtr m_video;
    CodecPtr m_audio;
    AVStream* m_videoStream = nullptr;
    AVStream* m_audioStream = nullptr;
    int64_t m_audioSamples = 0;
};

}  // namespace

bool MakeClip(const std::string& path, const ClipSpec& want, std::string& error) {
    av_log_set_level(AV_LOG_ERROR);
    Writer writer;
    return writer.Run(path, want, error);
}

}  // namespace cliptest
