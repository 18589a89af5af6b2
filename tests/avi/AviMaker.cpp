#include "AviMaker.h"

#include <cstring>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

namespace avitest {

namespace {

struct Output {
    AVFormatContext* fmt = nullptr;
    ~Output() {
        if (fmt) {
            if (fmt->pb) avio_closep(&fmt->pb);
            avformat_free_context(fmt);
        }
    }
};

struct Encoder {
    AVCodecContext* ctx = nullptr;
    ~Encoder() { avcodec_free_context(&ctx); }
};

// One MS RLE (BI_RLE8) frame of 8-bit indices, bottom-up: each row as runs of one index.
std::vector<uint8_t> EncodeRle8(const std::vector<uint8_t>& indices, int width, int height) {
    std::vector<uint8_t> out;
    for (int y = height - 1; y >= 0; --y) {
        const uint8_t* row = &indices[static_cast<size_t>(y) * width];
        for (int x = 0; x < width;) {
            int run = 1;
            while (x + run < width && run < 255 && row[x + run] == row[x]) ++run;
            out.push_back(static_cast<uint8_t>(run));
            out.push_back(row[x]);
            x += run;
        }
        out.push_back(0);
        out.push_back(0);  // end of line
    }
    out.push_back(0);
    out.push_back(1);  // end of bitmap
    return out;
}

std::string Err(const char* what, int rc = 0) {
    char buf[AV_ERROR_MAX_STRING_SIZE] = {};
    if (rc) av_strerror(rc, buf, sizeof buf);
    return std::string(what) + (rc ? std::string(": ") + buf : "");
}

struct VideoTrack {
    AVStream* stream = nullptr;
    Encoder enc;       // unused for our own RLE coder
    bool own_rle = false;
    int width = 0, height = 0;
    int number_offset = 0;
};

// The palette of 8-bit test frames: black, white, then a ramp.
uint32_t PaletteEntry(int i) {
    if (i == 0) return 0xFF000000u;
    if (i == 1) return 0xFFFFFFFFu;
    return 0xFF000000u | static_cast<uint32_t>(i) << 16 | static_cast<uint32_t>(255 - i) << 8 |
           static_cast<uint32_t>(i / 2);
}

std::string OpenTrack(AVFormatContext* fmt, const AviSpec& clip, VideoTrack& t) {
    t.stream = avformat_new_stream(fmt, nullptr);
    if (!t.stream) return "no stream";
    t.stream->time_base = AVRational{clip.rate_den, clip.rate_num};
    if (clip.codec == "msrle") {
        t.own_rle = true;
        AVCodecParameters* p = t.stream->codecpar;
        p->codec_type = AVMEDIA_TYPE_VIDEO;
        p->codec_id = AV_CODEC_ID_MSRLE;
        p->codec_tag = 1;  // BI_RLE8
        p->width = t.width;
        p->height = t.height;
        p->bits_per_coded_sample = 8;
        // The colour table follows the BITMAPINFOHEADER in strf.
        p->extradata = static_cast<uint8_t*>(av_mallocz(1024 + AV_INPUT_BUFFER_PADDING_SIZE));
        p->extradata_size = 1024;
        for (int i = 0; i < 256; ++i) {
            const uint32_t entry = PaletteEntry(i) & 0xFFFFFF;
            std::memcpy(p->extradata + 4 * i, &entry, 4);
        }
        return "";
    }
    const AVCodec* codec = avcodec_find_encoder_by_name(clip.codec.c_str());
    if (!codec) return "no encoder " + clip.codec;
    t.enc.ctx = avcodec_alloc_context3(codec);
    AVCodecContext* c = t.enc.ctx;
    c->width = t.width;
    c->height = t.height;
    c->time_base = t.stream->time_base;
    c->framerate = AVRational{clip.rate_num, clip.rate_den};
    c->gop_size = clip.gop;
    c->max_b_frames = 0;
    c->thread_count = 1;
    c->pix_fmt = codec->pix_fmts ? codec->pix_fmts[0] : AV_PIX_FMT_YUV420P;
    if (clip.codec == "rawvideo") {
        c->pix_fmt = clip.raw_bits == 8    ? AV_PIX_FMT_PAL8
                     : clip.raw_bits == 16 ? AV_PIX_FMT_RGB555LE
                                           : AV_PIX_FMT_BGR24;
    } else if (clip.codec == "mjpeg") {
        c->pix_fmt = AV_PIX_FMT_YUVJ420P;
    } else if (clip.codec == "dvvideo") {
        c->pix_fmt = AV_PIX_FMT_YUV420P;
    } else if (clip.codec == "msvideo1") {
        c->pix_fmt = AV_PIX_FMT_RGB555LE;
    } else if (clip.codec == "libx264") {
        av_opt_set(c->priv_data, "preset", "ultrafast", 0);
        av_opt_set(c->priv_data, "tune", "zerolatency", 0);
        av_opt_set_int(c->priv_data, "scenecut", 0, 0);
        c->pix_fmt = AV_PIX_FMT_YUV420P;
    } else if (clip.codec == "mpeg4") {
        c->pix_fmt = AV_PIX_FMT_YUV420P;
        c->bit_rate = 2000000;
        // Key frames exactly every `gop` frames: no extra ones where the picture changes a lot.
        av_opt_set_int(c->priv_data, "sc_threshold", 1000000000, 0);
    } else if (clip.codec == "cinepak") {
        c->pix_fmt = AV_PIX_FMT_RGB24;
    } else if (clip.codec == "huffyuv") {
        c->pix_fmt = AV_PIX_FMT_YUV422P;
    } else if (clip.codec == "ffv1") {
        c->pix_fmt = AV_PIX_FMT_YUV420P;
    }
    if (fmt->oformat->flags & AVFMT_GLOBALHEADER) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (int rc = avcodec_open2(c, codec, nullptr); rc < 0) return Err("open encoder", rc);
    if (int rc = avcodec_parameters_from_context(t.stream->codecpar, c); rc < 0) {
        return Err("parameters", rc);
    }
    return "";
}

std::string WriteFrame(AVFormatContext* fmt, VideoTrack& t, int n, int64_t pts) {
    std::vector<uint8_t> rgb(static_cast<size_t>(t.width) * t.height * 3);
    DrawFrameNumber(n + t.number_offset, rgb.data(), t.width, t.height);
    AVPacket* pkt = av_packet_alloc();
    std::unique_ptr<AVPacket, void (*)(AVPacket*)> hold(pkt,
                                                        [](AVPacket* p) { av_packet_free(&p); });
    auto indices = [&] {
        std::vector<uint8_t> idx(static_cast<size_t>(t.width) * t.height);
        for (size_t i = 0; i < idx.size(); ++i) {
            idx[i] = rgb[3 * i] > 128 ? 1 : static_cast<uint8_t>(2 + (i % 200));
            if (rgb[3 * i] == 0) idx[i] = 0;
        }
        return idx;
    };
    if (t.own_rle) {
        const std::vector<uint8_t> data = EncodeRle8(indices(), t.width, t.height);
        if (av_new_packet(pkt, static_cast<int>(data.size())) < 0) return "packet";
        std::memcpy(pkt->data, data.data(), data.size());
        pkt->flags |= AV_PKT_FLAG_KEY;
        pkt->pts = pkt->dts = pts;
        pkt->stream_index = t.stream->index;
        int rc = av_interleaved_write_frame(fmt, pkt);
        return rc < 0 ? Err("write", rc) : "";
    }
    AVCodecContext* c = t.enc.ctx;
    AVFrame* frame = av_frame_alloc();
    std::unique_ptr<AVFrame, void (*)(AVFrame*)> hold_frame(frame,
                                                            [](AVFrame* f) { av_frame_free(&f); });
    frame->format = c->pix_fmt;
    frame->width = t.width;
    frame->height = t.height;
    if (av_frame_get_buffer(frame, 0) < 0) return "frame buffer";
    if (c->pix_fmt == AV_PIX_FMT_PAL8) {
        const std::vector<uint8_t> idx = indices();
        for (int y = 0; y < t.height; ++y) {
            std::memcpy(frame->data[0] + y * frame->linesize[0],
                        &idx[static_cast<size_t>(y) * t.width], static_cast<size_t>(t.width));
        }
        for (int i = 0; i < 256; ++i) {
            reinterpret_cast<uint32_t*>(frame->data[1])[i] = PaletteEntry(i);
        }
    } else {
        SwsContext* sws = sws_getContext(t.width, t.height, AV_PIX_FMT_RGB24, t.width, t.height,
                                         c->pix_fmt, SWS_POINT, nullptr, nullptr, nullptr);
        if (!sws) return "sws";
        const uint8_t* src[4] = {rgb.data(), nullptr, nullptr, nullptr};
        const int src_stride[4] = {t.width * 3, 0, 0, 0};
        sws_scale(sws, src, src_stride, 0, t.height, frame->data, frame->linesize);
        sws_freeContext(sws);
    }
    frame->pts = pts;
    int rc = avcodec_send_frame(c, frame);
    if (rc < 0) return Err("encode", rc);
    for (;;) {
        rc = avcodec_receive_packet(c, pkt);
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return "";
        if (rc < 0) return Err("encode", rc);
        av_packet_rescale_ts(pkt, c->time_base, t.stream->time_base);
        pkt->stream_index = t.stream->index;
        rc = av_interleaved_write_frame(fmt, pkt);
        if (rc < 0) return Err("write", rc);
    }
}

// Drains an encoder at the end of the file.
std::string FlushTrack(AVFormatContext* fmt, VideoTrack& t) {
    if (t.own_rle) return "";
    AVCodecContext* c = t.enc.ctx;
    AVPacket* pkt = av_packet_alloc();
    avcodec_send_frame(c, nullptr);
    std::string error;
    while (avcodec_receive_packet(c, pkt) == 0) {
        av_packet_rescale_ts(pkt, c->time_base, t.stream->time_base);
        pkt->stream_index = t.stream->index;
        if (int rc = av_interleaved_write_frame(fmt, pkt); rc < 0) error = Err("write", rc);
    }
    av_packet_free(&pkt);
    return error;
}

}  // namespace

std::string MakeAvi(const std::string& path, const AviSpec& clip) {
    av_log_set_level(AV_LOG_ERROR);
    Output out;
    if (int rc = avformat_alloc_output_context2(&out.fmt, nullptr, "avi", path.c_str()); rc < 0) {
        return Err("output", rc);
    }
    AVStream* audio = nullptr;
    constexpr int kSampleRate = 8000;
    if (clip.audio_first) {
        audio = avformat_new_stream(out.fmt, nullptr);
        AVCodecParameters* p = audio->codecpar;
        p->codec_type = AVMEDIA_TYPE_AUDIO;
        p->codec_id = AV_CODEC_ID_PCM_S16LE;
        p->sample_rate = kSampleRate;
        av_channel_layout_default(&p->ch_layout, 1);
        p->bits_per_coded_sample = 16;
        p->block_align = 2;
        p->bit_rate = kSampleRate * 16;
        audio->time_base = AVRational{1, kSampleRate};
    }
    VideoTrack tracks[2];
    const int track_count = clip.second_video ? 2 : 1;
    for (int i = 0; i < track_count; ++i) {
        tracks[i].width = i == 0 ? clip.width : clip.width / 2;
        tracks[i].height = i == 0 ? clip.height : clip.height / 2;
        tracks[i].number_offset = i == 0 ? 0 : 1000;
        if (std::string e = OpenTrack(out.fmt, clip, tracks[i]); !e.empty()) return e;
    }
    if (int rc = avio_open(&out.fmt->pb, path.c_str(), AVIO_FLAG_WRITE); rc < 0) {
        return Err("open file", rc);
    }
    if (int rc = avformat_write_header(out.fmt, nullptr); rc < 0) return Err("header", rc);
    int64_t audio_pts = 0;
    for (int n = 0; n < clip.frames; ++n) {
        if (audio) {
            const int64_t end = av_rescale(n + 1, static_cast<int64_t>(kSampleRate) * clip.rate_den,
                                           clip.rate_num);
            const int count = static_cast<int>(end - audio_pts);
            if (count > 0) {
                AVPacket* pkt = av_packet_alloc();
                av_new_packet(pkt, count * 2);
                std::memset(pkt->data, 0, static_cast<size_t>(count) * 2);
                pkt->pts = pkt->dts = audio_pts;
                pkt->duration = count;
                pkt->stream_index = audio->index;
                pkt->flags |= AV_PKT_FLAG_KEY;
                const int rc = av_interleaved_write_frame(out.fmt, pkt);
                av_packet_free(&pkt);
                if (rc < 0) return Err("write audio", rc);
                audio_pts = end;
            }
        }
        for (int i = 0; i < track_count; ++i) {
            if (std::string e = WriteFrame(out.fmt, tracks[i], n, n); !e.empty()) return e;
        }
    }
    for (int i = 0; i < track_count; ++i) {
        if (std::string e = FlushTrack(out.fmt, tracks[i]); !e.empty()) return e;
    }
    if (int rc = av_write_trailer(out.fmt); rc < 0) return Err("trailer", rc);
    return "";
}

}  // namespace avitest
