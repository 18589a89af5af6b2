#include "TimeSeek.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>

#include "Decoder.h"
#include "DibConvert.h"
#include "FfmpegPtr.h"
#include "FourCC.h"
#include "H264Refs.h"
#include "LocalInput.h"

extern "C" {
#include <libavutil/cpu.h>
}

namespace video {

namespace {

using Clock = std::chrono::steady_clock;

// Every blocking read of one call gives up after this long, so that a damaged or endless file
// cannot hold the caller.
constexpr auto kCallBudget = std::chrono::seconds(20);
// Seeks to ever earlier key frames before decoding from the start of the file instead.
constexpr int kMaxSeeks = 4;
// Compressed bytes queued between a key frame and the requested time, at most.
constexpr size_t kMaxQueuedBytes = size_t{1} << 29;
// Without decoding times, reading stops this many packets after the first one past the time.
constexpr int kReorderSlack = 32;

int PastDeadline(void* opaque) {
    return Clock::now() > *static_cast<const Clock::time_point*>(opaque) ? 1 : 0;
}

bool IsPrintableCode(uint32_t code) {
    for (int i = 0; i < 4; ++i) {
        const uint32_t c = (code >> (8 * i)) & 0xFF;
        if (c < 0x20 || c > 0x7E) return false;
    }
    return true;
}

// The container's four-character code, or where it has none the codec's usual one.
uint32_t VideoCode(const AVCodecParameters& par) {
    if (par.codec_tag != 0 && IsPrintableCode(par.codec_tag)) return par.codec_tag;
    switch (par.codec_id) {
        case AV_CODEC_ID_RAWVIDEO:
            return 0;  // BI_RGB
        case AV_CODEC_ID_H264:
            return FourCC('H', '2', '6', '4');
        case AV_CODEC_ID_HEVC:
            return FourCC('H', 'E', 'V', 'C');
        case AV_CODEC_ID_MPEG1VIDEO:
            return FourCC('M', 'P', 'G', '1');
        case AV_CODEC_ID_MPEG2VIDEO:
            return FourCC('M', 'P', 'G', '2');
        case AV_CODEC_ID_MPEG4:
            return FourCC('M', 'P', '4', 'V');
        case AV_CODEC_ID_VP8:
            return FourCC('V', 'P', '8', '0');
        case AV_CODEC_ID_VP9:
            return FourCC('V', 'P', '9', '0');
        case AV_CODEC_ID_AV1:
            return FourCC('A', 'V', '0', '1');
        case AV_CODEC_ID_MJPEG:
            return FourCC('M', 'J', 'P', 'G');
        default: {
            const AVCodecTag* const tables[] = {avformat_get_riff_video_tags(), nullptr};
            return av_codec_get_tag(tables, par.codec_id);
        }
    }
}

uint32_t AudioTag(const AVCodecParameters& par) {
    const AVCodecTag* const tables[] = {avformat_get_riff_audio_tags(), nullptr};
    return av_codec_get_tag(tables, par.codec_id);
}

// The demuxers of video containers, the files a media detector opens: AVI; MP4, QuickTime,
// M4V and 3GP; Matroska and WebM; MPEG program and transport streams; ASF and WMV; FLV; Ogg.
// libavformat knows far more (pictures, icons, animations, documents, raw streams) and would
// claim files that are no movies; a file whose probe finds any other demuxer is not opened.
constexpr const char* kVideoContainers = "avi,mov,matroska,mpeg,mpegts,asf,flv,ogg";

// The stream's own duration, else the container's. A length guessed from the bit rate is no
// length: it can be far off, and the frame times depend on it.
double LengthOf(const AVFormatContext& fmt, const AVStream& st) {
    if (fmt.duration_estimation_method == AVFMT_DURATION_FROM_BITRATE) return 0.0;
    if (st.duration != AV_NOPTS_VALUE && st.duration > 0) {
        return static_cast<double>(st.duration) * av_q2d(st.time_base);
    }
    if (fmt.duration != AV_NOPTS_VALUE && fmt.duration > 0) {
        return static_cast<double>(fmt.duration) / AV_TIME_BASE;
    }
    return 0.0;
}

double FrameRateOf(const AVStream& st) {
    AVRational rate = st.avg_frame_rate;
    if (rate.num <= 0 || rate.den <= 0) rate = st.r_frame_rate;
    return rate.num > 0 && rate.den > 0 ? av_q2d(rate) : 0.0;
}

// Seconds after the stream's start as a timestamp of the stream; the last tick that is not
// after the time (a time that falls on a frame, up to rounding, selects that frame).
int64_t TicksFromSeconds(double seconds, AVRational time_base, int64_t start) {
    double ticks = seconds * time_base.den / time_base.num;
    if (!(ticks > 0.0)) ticks = 0.0;  // also NaN
    ticks = std::floor(ticks + 1e-6 + ticks * 1e-12);
    constexpr double kLimit = 4.0e18;
    const int64_t offset =
        ticks > kLimit ? static_cast<int64_t>(kLimit) : static_cast<int64_t>(ticks);
    if (start > std::numeric_limits<int64_t>::max() - offset) {
        return std::numeric_limits<int64_t>::max();
    }
    return start + offset;
}

// MP4 and QuickTime headers give every stream's codec, size, rate and length, so the decoding
// of first frames that libavformat's stream probe does (tens of milliseconds for a large picture,
// on every call) adds nothing the facts use. Other containers, and headers that leave one of
// those out, are probed.
bool NeedsProbe(const AVFormatContext& fmt) {
    if (!fmt.iformat || !fmt.iformat->name || !std::strstr(fmt.iformat->name, "mp4")) return true;
    for (unsigned i = 0; i < fmt.nb_streams; ++i) {
        const AVStream& st = *fmt.streams[i];
        const AVCodecParameters& par = *st.codecpar;
        if (par.codec_type != AVMEDIA_TYPE_VIDEO && par.codec_type != AVMEDIA_TYPE_AUDIO) continue;
        if (par.codec_id == AV_CODEC_ID_NONE || st.duration == AV_NOPTS_VALUE || st.duration <= 0) {
            return true;
        }
        if (par.codec_type == AVMEDIA_TYPE_VIDEO &&
            (par.width <= 0 || par.height <= 0 || st.avg_frame_rate.num <= 0 ||
             st.avg_frame_rate.den <= 0)) {
            return true;
        }
        if (par.codec_type == AVMEDIA_TYPE_AUDIO &&
            (par.sample_rate <= 0 || par.ch_layout.nb_channels <= 0)) {
            return true;
        }
    }
    return false;
}

int64_t FrameTime(const AVFrame& frame) {
    return frame.best_effort_timestamp != AV_NOPTS_VALUE ? frame.best_effort_timestamp : frame.pts;
}

// The packets of one stream from a key frame on, up to the requested time.
struct PacketRun {
    std::vector<PacketPtr> packets;
    bool all_timed = true;  // every packet carries a presentation time
};

}  // namespace

struct TimedMedia::State {
    LocalInput input;  // the file; outlives `format`
    FormatPtr format;
    Clock::time_point deadline;
    bool fresh = true;  // nothing read since the file was opened

    void StartCall() { deadline = Clock::now() + kCallBudget; }

    Status OpenFormat() {
        format.reset();
        fresh = true;
        AVFormatContext* fmt = avformat_alloc_context();
        if (!fmt) return Status::NoMemory;
        fmt->interrupt_callback.callback = PastDeadline;
        fmt->interrupt_callback.opaque = &deadline;
        fmt->format_whitelist = av_strdup(kVideoContainers);
        if (!fmt->format_whitelist) {
            avformat_free_context(fmt);
            return Status::NoMemory;
        }
        const int opened = OpenLocalInput(&fmt, input);
        if (opened < 0) return StatusOfAvError(opened);
        format.reset(fmt);
        return Status::Ok;
    }

    Status Probe() {
        if (!NeedsProbe(*format)) return Status::Ok;
        return StatusOfAvError(avformat_find_stream_info(format.get(), nullptr));
    }

    // Back to the first packet. Seeking to the first time is not exact in every format (a
    // program stream seeks by searching its timestamps), so the file is opened anew; nothing
    // needs doing when nothing has been read since it was opened.
    Status RestartAtFirstPacket() {
        if (fresh) return Status::Ok;
        const Status opened = OpenFormat();
        return opened == Status::Ok ? Probe() : opened;
    }

    // Reads the packets of `stream` from the next key frame (or from the next packet, at the
    // start of the file) until one is decoded after `target`, the end of the file, or an error.
    Status Gather(int stream, int64_t target, bool from_start, PacketRun& run) {
        fresh = false;
        run.packets.clear();
        run.all_timed = true;
        size_t bytes = 0;
        int past_target = 0;
        for (;;) {
            PacketPtr pkt(av_packet_alloc());
            if (!pkt) return Status::NoMemory;
            if (av_read_frame(format.get(), pkt.get()) < 0) break;  // end of file or damage
            if (pkt->stream_index != stream) continue;
            if (run.packets.empty() && !from_start && !(pkt->flags & AV_PKT_FLAG_KEY)) continue;
            bytes += static_cast<size_t>(pkt->size);
            if (bytes > kMaxQueuedBytes) return Status::NoMemory;
            if (pkt->pts == AV_NOPTS_VALUE) run.all_timed = false;
            const bool decoded_after = pkt->dts != AV_NOPTS_VALUE && pkt->dts > target;
            const bool shown_after = pkt->pts != AV_NOPTS_VALUE && pkt->pts > target;
            run.packets.push_back(std::move(pkt));
            // Decoding times never fall, and a frame is shown no earlier than it is decoded:
            // after the first packet decoded past the time, no packet shows at or before it.
            if (decoded_after) break;
            if (shown_after && ++past_target >= kReorderSlack) break;
        }
        return Status::Ok;
    }
};

TimedMedia::TimedMedia() = default;

TimedMedia::~TimedMedia() = default;

bool TimedMedia::IsOpen() const { return m_state && m_state->format; }

void TimedMedia::Close() {
    m_state.reset();
    m_streams.clear();
}

Status TimedMedia::Open(const std::string& path) {
    Close();
    QuietLibraryLogs();
    auto state = std::make_unique<State>();
    state->input.path = path;
    state->StartCall();
    PLUGIN_VIDEO_TRY(state->OpenFormat());
    AVFormatContext* fmt = state->format.get();
    PLUGIN_VIDEO_TRY(state->Probe());
    std::vector<StreamFacts> streams;
    for (unsigned i = 0; i < fmt->nb_streams; ++i) {
        const AVStream* st = fmt->streams[i];
        const AVCodecParameters* par = st->codecpar;
        StreamFacts facts;
        facts.index = static_cast<int>(i);
        facts.length = LengthOf(*fmt, *st);
        facts.bit_rate = par->bit_rate > 0 ? par->bit_rate : 0;
        if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
            // A cover picture is no video; nor is a stream whose header gives no size or a
            // negative one (an AVI's bitmap header can say -256 wide): no frame of it could be
            // shown at the size the information read would give.
            if (st->disposition & AV_DISPOSITION_ATTACHED_PIC) continue;
            if (par->width <= 0 || par->height <= 0) continue;
            facts.kind = StreamKind::Video;
            facts.width = par->width;
            facts.height = par->height;
            facts.four_cc = VideoCode(*par);
            facts.frame_rate = FrameRateOf(*st);
        } else if (par->codec_type == AVMEDIA_TYPE_AUDIO) {
            facts.kind = StreamKind::Audio;
            facts.wave_tag = AudioTag(*par);
            facts.sample_rate = par->sample_rate;
            facts.channels = par->ch_layout.nb_channels;
            facts.bits_per_sample = av_get_bits_per_sample(par->codec_id);
        } else {
            continue;
        }
        streams.push_back(facts);
    }
    m_state = std::move(state);
    m_streams = std::move(streams);
    return Status::Ok;
}

namespace {

// A decoder for the stream; `threaded` gives it frame threads, one per core and one more: the
// frames between a key frame and the one asked for are most of the work.
Status OpenDecoder(const AVStream& st, bool threaded, CodecPtr& ctx) {
    const AVCodec* codec = avcodec_find_decoder(st.codecpar->codec_id);
    if (!codec) return Status::Unsupported;
    ctx.reset(avcodec_alloc_context3(codec));
    if (!ctx) return Status::NoMemory;
    PLUGIN_VIDEO_TRY(StatusOfAvError(avcodec_parameters_to_context(ctx.get(), st.codecpar)));
    ctx->pkt_timebase = st.time_base;
    ctx->thread_count = threaded ? std::max(1, std::min(av_cpu_count() + 1, 16)) : 1;
    ctx->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
    return StatusOfAvError(avcodec_open2(ctx.get(), codec, nullptr));
}


// Sends one packet (null: the end of the stream) and hands every frame that comes out to
// `take`; `take` returns false to stop. False when the decoder fails for good.
template <class Take>
bool Feed(AVCodecContext* ctx, const AVPacket* pkt, AVFrame* frame, Take&& take, bool& stop,
          bool& damaged) {
    for (;;) {
        const int sent = avcodec_send_packet(ctx, pkt);
        if (sent == AVERROR(EAGAIN)) {
            // The decoder is full: take its frames, then send again.
        } else if (sent < 0 && sent != AVERROR_EOF) {
            damaged = true;
            return pkt != nullptr;  // a damaged packet is dropped; the next may decode
        }
        for (;;) {
            const int got = avcodec_receive_frame(ctx, frame);
            if (got == AVERROR(EAGAIN) || got == AVERROR_EOF) break;
            if (got < 0) {
                damaged = true;
                return false;
            }
            if (frame->decode_error_flags != 0 || (frame->flags & AV_FRAME_FLAG_CORRUPT)) {
                damaged = true;
            }
            const bool more = take(frame);
            av_frame_unref(frame);
            if (!more) {
                stop = true;
                return true;
            }
        }
        if (sent != AVERROR(EAGAIN)) return true;
    }
}

// What to give the decoder for the frame of packet `want_index`, where the codec lets us tell;
// an empty plan when every reference frame has to be decoded.
H264Plan PlanFor(const AVCodecParameters& par, const PacketRun& run, size_t want_index) {
    if (par.codec_id != AV_CODEC_ID_H264) return {};
    std::vector<ByteSpan> packets;
    packets.reserve(want_index + 1);
    for (size_t i = 0; i <= want_index; ++i) {
        packets.push_back({run.packets[i]->data, static_cast<size_t>(run.packets[i]->size)});
    }
    const ByteSpan extradata{par.extradata, par.extradata_size > 0
                                                ? static_cast<size_t>(par.extradata_size)
                                                : 0};
    return PlanH264Decode(extradata, packets, want_index);
}

// A packet with `bytes` in place of the data of `original`, and its times and flags.
PacketPtr Replacement(const AVPacket& original, const std::vector<uint8_t>& bytes) {
    PacketPtr pkt(av_packet_alloc());
    if (!pkt || bytes.size() > INT32_MAX - AV_INPUT_BUFFER_PADDING_SIZE ||
        av_new_packet(pkt.get(), static_cast<int>(bytes.size())) < 0 ||
        av_packet_copy_props(pkt.get(), &original) < 0) {
        return nullptr;
    }
    std::memcpy(pkt->data, bytes.data(), bytes.size());
    pkt->flags &= ~AV_PKT_FLAG_KEY;
    return pkt;
}

// The frame shown at `want` (a packet's presentation time), decoding only what it depends on:
// the pictures its references lead to where the codec lets us tell (stand-ins for the other
// reference pictures), else every frame that something references; nothing after it in
// decoding order is sent. Null when the decoder did not return that frame, or returned it
// damaged.
FramePtr DecodeShownAt(AVCodecContext* ctx, const AVCodecParameters& par, const PacketRun& run,
                       size_t want_index, bool& damaged) {
    const int64_t want = run.packets[want_index]->pts;
    FramePtr frame(av_frame_alloc());
    FramePtr found;
    if (!frame) return nullptr;
    const H264Plan plan = PlanFor(par, run, want_index);
    avcodec_flush_buffers(ctx);
    bool stop = false;
    // Every frame is taken, the ones after the asked-for one too (they are decoded already), so
    // that damage anywhere is seen.
    auto take = [&](AVFrame* f) {
        if (f->pts == want && !found && f->decode_error_flags == 0 &&
            !(f->flags & AV_FRAME_FLAG_CORRUPT)) {
            found.reset(av_frame_clone(f));
        }
        return true;
    };
    for (size_t i = 0; i <= want_index && !stop; ++i) {
        const AVPacket* pkt = run.packets[i].get();
        PacketPtr stand_in;
        if (!plan.send.empty()) {
            if (!plan.send[i]) continue;
            if (!plan.stand_in[i].empty()) {
                stand_in = Replacement(*pkt, plan.stand_in[i]);
                if (!stand_in) return nullptr;
                pkt = stand_in.get();
            }
            ctx->skip_frame = AVDISCARD_DEFAULT;
        } else {
            ctx->skip_frame = i == want_index ? AVDISCARD_DEFAULT : AVDISCARD_NONREF;
        }
        if (!Feed(ctx, pkt, frame.get(), take, stop, damaged)) break;
    }
    ctx->skip_frame = AVDISCARD_DEFAULT;
    if (!stop) Feed(ctx, nullptr, frame.get(), take, stop, damaged);
    avcodec_flush_buffers(ctx);
    return found;
}

// Decodes every packet of the run in order and keeps the last frame shown at or before
// `target`; `first` gets the first frame shown after it when none is.
FramePtr DecodeAll(AVCodecContext* ctx, const PacketRun& run, int64_t target, FramePtr& first,
                   bool& damaged) {
    FramePtr frame(av_frame_alloc());
    FramePtr best;
    if (!frame) return nullptr;
    avcodec_flush_buffers(ctx);
    ctx->skip_frame = AVDISCARD_DEFAULT;
    bool stop = false;
    auto take = [&](AVFrame* f) {
        const int64_t t = FrameTime(*f);
        if (t == AV_NOPTS_VALUE || t <= target) {
            best.reset(av_frame_clone(f));
            return true;
        }
        if (!best && !first) first.reset(av_frame_clone(f));
        return !best;  // frames come in presentation order: the next one shows after the time
    };
    for (size_t i = 0; i < run.packets.size() && !stop; ++i) {
        if (!Feed(ctx, run.packets[i].get(), frame.get(), take, stop, damaged)) break;
    }
    if (!stop) Feed(ctx, nullptr, frame.get(), take, stop, damaged);
    avcodec_flush_buffers(ctx);
    return best;
}

}  // namespace

Status TimedMedia::FrameAt(size_t stream, double seconds, int width, int height, uint8_t* rows) {
    if (!IsOpen() || stream >= m_streams.size() || !rows) return Status::Broken;
    if (m_streams[stream].kind != StreamKind::Video || width <= 0 || height <= 0) {
        return Status::Broken;
    }
    State& state = *m_state;
    state.StartCall();
    const int index = m_streams[stream].index;

    // One decode of the frame; `damaged` tells whether the decoder met damage on the way.
    auto decode = [&](bool threaded, bool& damaged) -> Status {
        const AVStream* st = state.format->streams[index];
        CodecPtr decoder;
        PLUGIN_VIDEO_TRY(OpenDecoder(*st, threaded, decoder));
        const int64_t first = st->start_time != AV_NOPTS_VALUE ? st->start_time : 0;
        const int64_t target = TicksFromSeconds(seconds, st->time_base, first);

        int64_t seek_to = target;
        PacketRun run;
        for (int attempt = 0; attempt < kMaxSeeks; ++attempt) {
            // The last attempt, and any seek that fails, reads from the start of the file.
            bool from_start = attempt == kMaxSeeks - 1 || seek_to <= first;
            if (!from_start) {
                from_start = av_seek_frame(state.format.get(), index, seek_to,
                                           AVSEEK_FLAG_BACKWARD) < 0;
                state.fresh = false;
            }
            if (from_start) PLUGIN_VIDEO_TRY(state.RestartAtFirstPacket());
            st = state.format->streams[index];
            PLUGIN_VIDEO_TRY(state.Gather(index, target, from_start, run));
            if (run.packets.empty()) {
                if (from_start) return Status::Broken;
                seek_to = first;
                continue;
            }
            const AVPacket& key = *run.packets.front();
            const int64_t key_time = key.pts != AV_NOPTS_VALUE ? key.pts : key.dts;
            const bool at_start = from_start || (key_time != AV_NOPTS_VALUE && key_time <= first);
            // A key frame after the time: the frame asked for lies before it. A seek by timestamp
            // search can land on the same key frame again, so each retry reaches further back: one
            // second before the key frame, then two, then four.
            auto seek_earlier = [&] {
                const int64_t key_decode = key.dts != AV_NOPTS_VALUE ? key.dts : key_time;
                const int64_t second = std::max<int64_t>(1, av_rescale_q(1, {1, 1}, st->time_base));
                const int64_t back = second << attempt;
                const int64_t from = std::min(seek_to, key_decode);
                seek_to = from > first + back ? from - back : first;
            };
            if (!at_start && key_time != AV_NOPTS_VALUE && key_time > target) {
                seek_earlier();
                continue;
            }

            if (run.all_timed) {
                // The frame shown at the time is the packet with the latest presentation time not
                // after it (or the first frame, for a time before the stream's first frame).
                size_t want = run.packets.size();
                for (size_t i = 0; i < run.packets.size(); ++i) {
                    const int64_t pts = run.packets[i]->pts;
                    if (pts > target) continue;
                    if (want == run.packets.size() || pts > run.packets[want]->pts) want = i;
                }
                if (want == run.packets.size() && at_start) {
                    want = 0;
                    for (size_t i = 1; i < run.packets.size(); ++i) {
                        if (run.packets[i]->pts < run.packets[want]->pts) want = i;
                    }
                }
                // A frame shown before its key frame may refer to frames before that key frame.
                if (want < run.packets.size() &&
                    (at_start || run.packets[want]->pts >= key_time)) {
                    if (FramePtr frame = DecodeShownAt(decoder.get(), *st->codecpar, run, want,
                                                           damaged)) {
                        return FrameConverter().ToBgr24Rows(frame.get(), width, height, rows);
                    }
                } else if (!at_start) {
                    seek_earlier();
                    continue;
                }
            }
            FramePtr after;
            FramePtr frame = DecodeAll(decoder.get(), run, target, after, damaged);
            if (!frame && at_start) frame = std::move(after);
            if (frame) return FrameConverter().ToBgr24Rows(frame.get(), width, height, rows);
            if (at_start) return Status::Broken;
            seek_earlier();
        }
        return Status::Broken;
    };

    bool damaged = false;
    const Status decoded = decode(true, damaged);
    if (!damaged) return decoded;
    // Frame threads conceal damage differently from one run to the next; one thread gives the
    // same picture every time.
    return decode(false, damaged);
}

Status TimedMedia::KeyFrameTime(size_t stream, double seconds, double& key_seconds) {
    key_seconds = 0.0;
    if (!IsOpen() || stream >= m_streams.size()) return Status::Broken;
    if (m_streams[stream].kind != StreamKind::Video) return Status::Broken;
    State& state = *m_state;
    state.StartCall();
    const int index = m_streams[stream].index;
    const AVStream* st = state.format->streams[index];
    const AVRational time_base = st->time_base;
    const int64_t first = st->start_time != AV_NOPTS_VALUE ? st->start_time : 0;
    const int64_t target = TicksFromSeconds(seconds, time_base, first);
    if (target <= first) return Status::Ok;

    // The presentation time of the next key frame of the stream, or AV_NOPTS_VALUE at the end
    // of the file (or of the call's time budget).
    auto next_key = [&]() -> int64_t {
        for (;;) {
            PacketPtr pkt(av_packet_alloc());
            if (!pkt || av_read_frame(state.format.get(), pkt.get()) < 0) return AV_NOPTS_VALUE;
            if (pkt->stream_index != index || !(pkt->flags & AV_PKT_FLAG_KEY)) continue;
            const int64_t t = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
            if (t != AV_NOPTS_VALUE) return t;
        }
    };
    auto found = [&](int64_t key) {
        key_seconds = key > first ? static_cast<double>(key - first) * av_q2d(time_base) : 0.0;
        return Status::Ok;
    };

    // A seek to the key frame at or before the time, in the container's index.
    state.fresh = false;
    if (av_seek_frame(state.format.get(), index, target, AVSEEK_FLAG_BACKWARD) >= 0) {
        const int64_t key = next_key();
        if (key != AV_NOPTS_VALUE && key <= target) return found(key);
    }
    // The seek failed or landed after the time (a container without an index seeks by
    // searching timestamps): every key frame from the start, keeping the last one not after it.
    PLUGIN_VIDEO_TRY(state.RestartAtFirstPacket());
    state.fresh = false;
    int64_t best = AV_NOPTS_VALUE;
    for (int64_t key = next_key(); key != AV_NOPTS_VALUE && key <= target; key = next_key()) {
        best = key;
    }
    return best != AV_NOPTS_VALUE ? found(best) : Status::Ok;
}

}  // namespace video
