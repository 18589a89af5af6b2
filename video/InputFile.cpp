#include "InputFile.h"

#include <climits>
#include <cmath>

namespace video {

bool InputFile::Open(const std::string& path) {
    Close();
    QuietLibraryLogs();
    m_input = std::make_unique<LocalInput>();
    m_input->path = path;
    AVFormatContext* raw = avformat_alloc_context();
    if (!raw || OpenLocalInput(&raw, *m_input) < 0) return false;
    m_format.reset(raw);
    if (avformat_find_stream_info(raw, nullptr) < 0) {
        Close();
        return false;
    }
    return true;
}

void InputFile::Close() {
    m_decoder = Decoder();
    m_decoderStream = -1;
    m_format.reset();
}

int InputFile::StreamCount() const {
    return m_format ? static_cast<int>(m_format->nb_streams) : 0;
}

AVStream* InputFile::Stream(int index) const {
    return index >= 0 && index < StreamCount() ? m_format->streams[index] : nullptr;
}

std::vector<int> InputFile::MediaStreams() const {
    std::vector<int> out;
    for (int i = 0; i < StreamCount(); ++i) {
        const AVMediaType type = m_format->streams[i]->codecpar->codec_type;
        if (type == AVMEDIA_TYPE_VIDEO || type == AVMEDIA_TYPE_AUDIO) {
            // Cover art is a picture attached to the file, not a stream of frames.
            if (m_format->streams[i]->disposition & AV_DISPOSITION_ATTACHED_PIC) continue;
            out.push_back(i);
        }
    }
    return out;
}

int InputFile::FirstStream(AVMediaType type) const {
    for (int i : MediaStreams()) {
        if (m_format->streams[i]->codecpar->codec_type == type) return i;
    }
    return -1;
}

double InputFile::DurationSeconds(int index) const {
    const AVStream* s = Stream(index);
    if (!s) return 0;
    if (s->duration != AV_NOPTS_VALUE && s->duration > 0) {
        return static_cast<double>(s->duration) * av_q2d(s->time_base);
    }
    if (m_format->duration != AV_NOPTS_VALUE && m_format->duration > 0) {
        return static_cast<double>(m_format->duration) / AV_TIME_BASE;
    }
    return 0;
}

int64_t InputFile::StartTimestamp(int index) const {
    const AVStream* s = Stream(index);
    return s && s->start_time != AV_NOPTS_VALUE ? s->start_time : 0;
}

bool InputFile::PrepareDecoder(int index) {
    if (m_decoderStream == index && m_decoder.IsOpen()) return true;
    m_decoderStream = -1;
    const AVStream* s = Stream(index);
    if (!s || s->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) return false;
    if (!m_decoder.Open(s->codecpar)) return false;
    m_decoderStream = index;
    return true;
}

bool InputFile::SeekBefore(int index, int64_t timestamp) {
    if (av_seek_frame(m_format.get(), index, timestamp, AVSEEK_FLAG_BACKWARD) >= 0) return true;
    // Some files cannot seek by time; their first byte is always a place to start.
    return avformat_seek_file(m_format.get(), index, INT64_MIN, StartTimestamp(index),
                              StartTimestamp(index), 0) >= 0 ||
           av_seek_frame(m_format.get(), index, 0, AVSEEK_FLAG_BYTE) >= 0;
}

FramePtr InputFile::DecodeFrameAt(int index, double seconds) {
    const AVStream* s = Stream(index);
    if (!s || !std::isfinite(seconds)) return nullptr;
    const double ticks = seconds / av_q2d(s->time_base);
    const double limit = 9.0e18;
    const int64_t ts = ticks > limit ? INT64_MAX / 2 : ticks < -limit ? -INT64_MAX / 2
                                                                     : std::llround(ticks);
    return DecodeFrameAtTimestamp(index, ts);
}

FramePtr InputFile::DecodeFrameAtTimestamp(int index, int64_t timestamp) {
    if (!PrepareDecoder(index)) return nullptr;
    const int64_t start = StartTimestamp(index);
    const int64_t target = timestamp > INT64_MAX / 2 - start ? INT64_MAX / 2 : start + timestamp;
    PacketPtr packet = MakePacket();
    if (!packet) return nullptr;

    // The key frame that the seek finds may still show after the target (an index can be
    // coarse); then seek again further back, at last from the start of the stream.
    int64_t seek_to = target;
    for (int attempt = 0;; ++attempt) {
        const bool from_start = attempt >= 6 || seek_to <= start;
        if (!SeekBefore(index, from_start ? start : seek_to)) return nullptr;
        m_decoder.Flush();
        FramePtr best;   // the latest frame showing at or before the target
        FramePtr first;  // the earliest frame decoded, for a target before every frame
        int frames_after_target = 0;
        std::vector<FramePtr> frames;
        auto take = [&] {
            for (FramePtr& f : frames) {
                if (f->best_effort_timestamp != AV_NOPTS_VALUE) f->pts = f->best_effort_timestamp;
                if (f->pts == AV_NOPTS_VALUE) f->pts = start;
                const int64_t pts = f->pts;
                if (!first || pts < first->pts) first.reset(av_frame_clone(f.get()));
                if (pts > target) {
                    ++frames_after_target;
                } else if (!best || pts >= best->pts) {
                    best = std::move(f);
                }
            }
            frames.clear();
        };
        // Frames may leave the decoder out of presentation order (B-frames): read on until a few
        // have shown after the target, or to the end of the file.
        bool ended = false;
        while (frames_after_target < 4) {
            if (av_read_frame(m_format.get(), packet.get()) < 0) {
                ended = true;
                break;
            }
            const bool ok = packet->stream_index != index || m_decoder.Decode(packet.get(), frames);
            av_packet_unref(packet.get());
            if (!ok) return nullptr;
            take();
        }
        if (ended && m_decoder.Decode(nullptr, frames)) take();
        if (best) return best;
        if (from_start) return first;  // the target lies before the stream's first frame
        seek_to -= (seek_to - start) / 2 + 1;
    }
}

}  // namespace video
