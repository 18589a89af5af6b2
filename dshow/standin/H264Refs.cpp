#include "H264Refs.h"

#include <algorithm>
#include <array>
#include <optional>

namespace video {

namespace {

constexpr int kMaxListSize = 32;
// A slice header with its weight tables fits in far fewer payload bytes than this.
constexpr size_t kSliceHeaderBytes = 4096;

enum NalType {
    kNalSlice = 1,
    kNalPartitionA = 2,
    kNalPartitionC = 4,
    kNalIdr = 5,
    kNalSps = 7,
    kNalPps = 8,
};

enum SliceType { kSliceP = 0, kSliceB = 1, kSliceI = 2, kSliceSp = 3, kSliceSi = 4 };

// The payload of a NAL unit with its emulation prevention bytes removed, read bit by bit. A
// read past the end yields zeros and marks the reader failed.
class BitReader {
public:
    BitReader(const uint8_t* nal, size_t size, size_t limit) {
        m_bytes.reserve(std::min(size, limit));
        int zeros = 0;
        for (size_t i = 0; i < size && m_bytes.size() < limit; ++i) {
            if (zeros >= 2 && nal[i] == 3) {
                zeros = 0;
                continue;
            }
            zeros = nal[i] == 0 ? zeros + 1 : 0;
            m_bytes.push_back(nal[i]);
        }
    }

    bool Failed() const { return m_failed; }

    uint32_t Bits(int n) {
        uint32_t value = 0;
        for (int i = 0; i < n; ++i) value = value << 1 | Bit();
        return value;
    }

    uint32_t Bit() {
        if (m_pos >= m_bytes.size() * 8) {
            m_failed = true;
            return 0;
        }
        const uint32_t bit = m_bytes[m_pos / 8] >> (7 - m_pos % 8) & 1;
        ++m_pos;
        return bit;
    }

    // Exp-Golomb codes; values beyond 32 bits fail.
    uint32_t Ue() {
        int zeros = 0;
        while (Bit() == 0) {
            if (m_failed || ++zeros > 31) {
                m_failed = true;
                return 0;
            }
        }
        return static_cast<uint32_t>((uint64_t{1} << zeros) - 1 + Bits(zeros));
    }

    int32_t Se() {
        const uint32_t code = Ue();
        const int32_t magnitude = static_cast<int32_t>((code + 1) / 2);
        return code & 1 ? magnitude : -magnitude;
    }

    // An Exp-Golomb value that must not exceed `max`; fails (and gives 0) otherwise.
    uint32_t UeAtMost(uint32_t max) {
        const uint32_t value = Ue();
        if (value <= max) return value;
        m_failed = true;
        return 0;
    }

private:
    std::vector<uint8_t> m_bytes;
    size_t m_pos = 0;
    bool m_failed = false;
};

// Writes a NAL unit's payload bit by bit.
class BitWriter {
public:
    void Bit(uint32_t bit) {
        if (m_used == 0) m_bytes.push_back(0);
        if (bit) m_bytes.back() |= static_cast<uint8_t>(0x80 >> m_used);
        m_used = (m_used + 1) % 8;
    }

    void Bits(uint32_t value, int n) {
        for (int i = n - 1; i >= 0; --i) Bit(value >> i & 1);
    }

    void Ue(uint32_t value) {
        const uint64_t code = uint64_t{value} + 1;
        int bits = 0;
        while (code >> (bits + 1)) ++bits;
        Bits(0, bits);
        for (int i = bits; i >= 0; --i) Bit(static_cast<uint32_t>(code >> i & 1));
    }

    void Se(int32_t value) {
        Ue(value > 0 ? 2 * static_cast<uint32_t>(value) - 1 : 2 * static_cast<uint32_t>(-value));
    }

    // rbsp_trailing_bits, then the NAL unit with emulation prevention bytes put in.
    std::vector<uint8_t> Nal(int nal_ref_idc, int type) {
        Bit(1);
        while (m_used != 0) Bit(0);
        std::vector<uint8_t> nal{static_cast<uint8_t>(nal_ref_idc << 5 | type)};
        int zeros = 0;
        for (uint8_t b : m_bytes) {
            if (zeros >= 2 && b <= 3) {
                nal.push_back(3);
                zeros = 0;
            }
            nal.push_back(b);
            zeros = b == 0 ? zeros + 1 : 0;
        }
        return nal;
    }

private:
    std::vector<uint8_t> m_bytes;
    int m_used = 0;  // bits of the last byte in use
};

struct Sps {
    int chroma_array_type = 1;
    bool separate_colour_plane = false;
    int log2_max_frame_num = 4;
    int log2_max_poc_lsb = 4;
    int max_num_ref_frames = 0;
    int id = 0;
    uint32_t macroblocks = 0;  // in a frame
};

struct Pps {
    int sps_id = 0;
    bool bottom_field_pic_order_present = false;
    std::array<int, 2> default_refs{1, 1};
    bool weighted_pred = false;
    int weighted_bipred_idc = 0;
    bool redundant_pic_cnt_present = false;
};

// One step of a reference list's reordering: `pic_num_diff` is abs_diff_pic_num_minus1 + 1,
// negative for a step back (idc 0), positive for one forward (idc 1).
struct Reorder {
    int pic_num_diff = 0;
};

struct Slice {
    int type = kSliceI;
    int first_mb = 0;
    std::array<int, 2> active_refs{0, 0};
    std::array<std::vector<Reorder>, 2> reorders;
};

// One coded frame and what its slice headers say.
struct Picture {
    bool idr = false;
    bool reference = false;  // nal_ref_idc != 0
    int nal_ref_idc = 0;
    bool bottom_field_pic_order_present = false;
    int frame_num = 0;
    int poc_lsb = 0;
    int delta_poc_bottom = 0;
    bool adaptive_marking = false;
    std::vector<int> unmark_pic_num_diffs;  // difference_of_pic_nums_minus1 + 1 of each MMCO 1
    Sps sps;
    std::vector<Slice> slices;
};

class ParameterSets {
public:
    bool ParseSps(BitReader& r) {
        const uint32_t profile = r.Bits(8);
        r.Bits(16);  // constraint flags, level
        const uint32_t id = r.UeAtMost(31);
        Sps sps;
        int chroma_format = 1;
        static constexpr uint32_t kHighProfiles[] = {100, 110, 122, 244, 44, 83, 86,
                                                     118, 128, 138, 139, 134, 135};
        if (std::find(std::begin(kHighProfiles), std::end(kHighProfiles), profile) !=
            std::end(kHighProfiles)) {
            chroma_format = static_cast<int>(r.UeAtMost(3));
            if (chroma_format == 3) sps.separate_colour_plane = r.Bit() != 0;
            r.UeAtMost(14);  // bit depths
            r.UeAtMost(14);
            r.Bit();  // qpprime_y_zero_transform_bypass_flag
            if (r.Bit()) {
                for (int i = 0; i < (chroma_format != 3 ? 8 : 12); ++i) {
                    if (r.Bit()) SkipScalingList(r, i < 6 ? 16 : 64);
                }
            }
        }
        sps.chroma_array_type = sps.separate_colour_plane ? 0 : chroma_format;
        sps.log2_max_frame_num = static_cast<int>(r.UeAtMost(12)) + 4;
        if (r.Ue() != 0) return Forget(m_sps[id]);  // picture order counts of type 1 and 2
        sps.log2_max_poc_lsb = static_cast<int>(r.UeAtMost(12)) + 4;
        sps.max_num_ref_frames = static_cast<int>(r.UeAtMost(16));
        r.Bit();  // gaps_in_frame_num_value_allowed_flag
        const uint32_t width_mbs = r.UeAtMost(1u << 12) + 1;
        const uint32_t height_mbs = r.UeAtMost(1u << 12) + 1;
        sps.macroblocks = width_mbs * height_mbs;
        sps.id = static_cast<int>(id);
        const bool frame_mbs_only = r.Bit() != 0;
        if (r.Failed() || !frame_mbs_only) return Forget(m_sps[id]);
        m_sps[id] = sps;
        return true;
    }

    bool ParsePps(BitReader& r) {
        const uint32_t id = r.UeAtMost(255);
        m_pps_seen[id] = true;
        Pps pps;
        pps.sps_id = static_cast<int>(r.UeAtMost(31));
        r.Bit();  // entropy_coding_mode_flag
        pps.bottom_field_pic_order_present = r.Bit() != 0;
        if (r.Ue() != 0) return Forget(m_pps[id]);  // slice groups
        pps.default_refs[0] = static_cast<int>(r.UeAtMost(kMaxListSize - 1)) + 1;
        pps.default_refs[1] = static_cast<int>(r.UeAtMost(kMaxListSize - 1)) + 1;
        pps.weighted_pred = r.Bit() != 0;
        pps.weighted_bipred_idc = static_cast<int>(r.Bits(2));
        r.Se();  // pic_init_qp, pic_init_qs, chroma_qp_index_offset
        r.Se();
        r.Se();
        r.Bit();  // deblocking_filter_control_present_flag, constrained_intra_pred_flag
        r.Bit();
        pps.redundant_pic_cnt_present = r.Bit() != 0;
        if (r.Failed()) return Forget(m_pps[id]);
        m_pps[id] = pps;
        return true;
    }

    // A picture parameter set id the stream does not use, or -1.
    int FreePpsId() const {
        for (int id = 0; id < 256; ++id) {
            if (!m_pps_seen[static_cast<size_t>(id)]) return id;
        }
        return -1;
    }

    const Pps* FindPps(uint32_t id) const {
        return id < m_pps.size() && m_pps[id] ? &*m_pps[id] : nullptr;
    }
    const Sps* FindSps(uint32_t id) const {
        return id < m_sps.size() && m_sps[id] ? &*m_sps[id] : nullptr;
    }

private:
    template <class T>
    static bool Forget(std::optional<T>& set) {
        set.reset();
        return false;
    }

    static void SkipScalingList(BitReader& r, int size) {
        int last = 8;
        int next = 8;
        for (int j = 0; j < size && !r.Failed(); ++j) {
            if (next != 0) next = (last + r.Se() + 256) % 256;
            if (next != 0) last = next;
        }
    }

    std::array<std::optional<Sps>, 32> m_sps;
    std::array<std::optional<Pps>, 256> m_pps;
    std::array<bool, 256> m_pps_seen{};
};

// Parses a slice header up to its reference marking into `pic`; false for anything this does not
// follow.
bool ParseSlice(BitReader& r, int nal_type, int nal_ref_idc, const ParameterSets& sets,
                Picture& pic, bool first) {
    Slice slice;
    slice.first_mb = static_cast<int>(r.Ue());
    const uint32_t type = r.UeAtMost(9);
    slice.type = static_cast<int>(type % 5);
    const Pps* pps = sets.FindPps(r.UeAtMost(255));
    if (!pps) return false;
    const Sps* sps = sets.FindSps(static_cast<uint32_t>(pps->sps_id));
    if (!sps) return false;
    if (sps->separate_colour_plane) r.Bits(2);
    Picture head;
    head.idr = nal_type == kNalIdr;
    head.reference = nal_ref_idc != 0;
    head.nal_ref_idc = nal_ref_idc;
    head.bottom_field_pic_order_present = pps->bottom_field_pic_order_present;
    head.sps = *sps;
    head.frame_num = static_cast<int>(r.Bits(sps->log2_max_frame_num));
    if (head.idr) r.Ue();  // idr_pic_id
    head.poc_lsb = static_cast<int>(r.Bits(sps->log2_max_poc_lsb));
    if (pps->bottom_field_pic_order_present) head.delta_poc_bottom = r.Se();
    if (pps->redundant_pic_cnt_present && r.Ue() != 0) return false;
    const bool is_b = slice.type == kSliceB;
    const bool is_p = slice.type == kSliceP || slice.type == kSliceSp;
    if (is_b) r.Bit();  // direct_spatial_mv_pred_flag
    if (is_p || is_b) {
        slice.active_refs[0] = pps->default_refs[0];
        slice.active_refs[1] = is_b ? pps->default_refs[1] : 0;
        if (r.Bit()) {
            slice.active_refs[0] = static_cast<int>(r.UeAtMost(kMaxListSize - 1)) + 1;
            if (is_b) slice.active_refs[1] = static_cast<int>(r.UeAtMost(kMaxListSize - 1)) + 1;
        }
    }
    for (size_t list = 0; list < (is_b ? 2u : is_p ? 1u : 0u); ++list) {
        if (!r.Bit()) continue;
        for (int step = 0;; ++step) {
            const uint32_t idc = r.Ue();
            if (idc == 3) break;
            // Long-term references (idc 2) are not followed; nor is an endless list.
            if (idc > 1 || step > kMaxListSize || r.Failed()) return false;
            const int diff = static_cast<int>(r.UeAtMost(1u << 17)) + 1;
            slice.reorders[list].push_back({idc == 0 ? -diff : diff});
        }
    }
    if ((pps->weighted_pred && is_p) || (pps->weighted_bipred_idc == 1 && is_b)) {
        r.Ue();  // luma_log2_weight_denom
        if (sps->chroma_array_type != 0) r.Ue();
        for (size_t list = 0; list < (is_b ? 2u : 1u); ++list) {
            for (int i = 0; i < slice.active_refs[list] && !r.Failed(); ++i) {
                if (r.Bit()) {
                    r.Se();
                    r.Se();
                }
                if (sps->chroma_array_type != 0 && r.Bit()) {
                    for (int k = 0; k < 4; ++k) r.Se();
                }
            }
        }
    }
    if (head.reference) {
        if (head.idr) {
            r.Bit();                      // no_output_of_prior_pics_flag
            if (r.Bit()) return false;    // long_term_reference_flag
        } else if (r.Bit()) {
            head.adaptive_marking = true;
            for (int step = 0;; ++step) {
                const uint32_t op = r.Ue();
                if (op == 0) break;
                // Only unmarking short-term pictures is followed: long-term ones and resets
                // (operations 2 to 6) are not.
                if (op != 1 || step > 2 * kMaxListSize || r.Failed()) return false;
                head.unmark_pic_num_diffs.push_back(static_cast<int>(r.UeAtMost(1u << 17)) + 1);
            }
        }
    }
    if (r.Failed()) return false;
    if (first) {
        if (slice.first_mb != 0) return false;
        pic = head;
    } else {
        // Every slice of a picture carries the same picture fields; a slice that starts the
        // picture again would be a second picture in the packet.
        if (slice.first_mb == 0 || head.idr != pic.idr || head.reference != pic.reference ||
            head.frame_num != pic.frame_num || head.poc_lsb != pic.poc_lsb ||
            head.delta_poc_bottom != pic.delta_poc_bottom ||
            head.unmark_pic_num_diffs != pic.unmark_pic_num_diffs ||
            head.adaptive_marking != pic.adaptive_marking) {
            return false;
        }
    }
    pic.slices.push_back(std::move(slice));
    return true;
}

// Calls `take(nal, size)` for each NAL unit of an avcC-framed (length > 0) or Annex B buffer.
template <class Take>
bool ForEachNal(ByteSpan buf, int length_size, Take&& take) {
    const uint8_t* p = buf.data;
    size_t left = buf.size;
    if (length_size > 0) {
        while (left > 0) {
            if (left < static_cast<size_t>(length_size)) return false;
            size_t n = 0;
            for (int i = 0; i < length_size; ++i) n = n << 8 | p[i];
            p += length_size;
            left -= static_cast<size_t>(length_size);
            if (n > left) return false;
            if (n > 0 && !take(p, n)) return false;
            p += n;
            left -= n;
        }
        return true;
    }
    // Annex B: units start after 00 00 01.
    size_t start = SIZE_MAX;
    size_t i = 0;
    auto emit = [&](size_t end) {
        while (end > start && p[end - 1] == 0) --end;  // trailing zeros belong to the next code
        return end <= start || take(p + start, end - start);
    };
    while (i + 2 < left) {
        if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 1) {
            if (start != SIZE_MAX && !emit(i)) return false;
            i += 3;
            start = i;
        } else {
            ++i;
        }
    }
    return start == SIZE_MAX || emit(left);
}

// Reads the codec configuration: the NAL length size of avcC packets (0 for Annex B) and the
// parameter sets it carries.
bool ReadConfiguration(ByteSpan extradata, ParameterSets& sets, int& length_size) {
    length_size = 0;
    auto take = [&](const uint8_t* nal, size_t size) {
        BitReader r(nal + 1, size - 1, size);
        const int type = nal[0] & 0x1F;
        if (type == kNalSps) sets.ParseSps(r);
        if (type == kNalPps) sets.ParsePps(r);
        return true;
    };
    const uint8_t* d = extradata.data;
    const size_t n = extradata.size;
    if (n == 0) return true;
    if (d[0] != 1) return ForEachNal(extradata, 0, take);
    if (n < 6) return false;
    length_size = (d[4] & 3) + 1;
    size_t pos = 5;
    for (int kind = 0; kind < 2; ++kind) {
        if (pos >= n) return false;
        int count = kind == 0 ? d[pos] & 0x1F : d[pos];
        ++pos;
        while (count-- > 0) {
            if (pos + 2 > n) return false;
            const size_t size = static_cast<size_t>(d[pos]) << 8 | d[pos + 1];
            pos += 2;
            if (size == 0 || size > n - pos) return false;
            take(d + pos, size);
            pos += size;
        }
    }
    return true;
}

// A frame of the decoded picture buffer; `picture` indexes the pictures.
struct Frame {
    int picture = 0;
    int frame_num = 0;
    int poc = 0;
};

constexpr int kMissing = -1;  // a list entry without a frame

// The reference lists of every picture up to `last` when all are decoded, as libavcodec's H.264
// decoder builds them: sliding-window and MMCO 1 marking, lists initialised by picture number or
// picture order count and reordered per slice. Per picture, every active list entry of every
// slice, in order. Empty when the stream does something not followed here (a gap in frame_num,
// a buffer that overflows).
std::vector<std::vector<int>> ReferenceLists(const std::vector<Picture>& pics, size_t last) {
    std::vector<std::vector<int>> lists(last + 1);
    std::vector<Frame> shorts;  // most recent first
    int prev_frame_num = 0;
    int prev_poc_msb = 0;
    int prev_poc_lsb = 0;
    for (size_t i = 0; i <= last; ++i) {
        const Picture& pic = pics[i];
        const Sps& sps = pic.sps;
        const int max_frame_num = 1 << sps.log2_max_frame_num;
        const int max_poc_lsb = 1 << sps.log2_max_poc_lsb;
        if (pic.idr) {
            shorts.clear();
            prev_frame_num = 0;
            prev_poc_msb = 0;
            prev_poc_lsb = pic.poc_lsb;
        } else if (pic.frame_num != prev_frame_num &&
                   pic.frame_num != (prev_frame_num + 1) % max_frame_num) {
            return {};
        }

        int poc_msb = prev_poc_msb;
        if (pic.poc_lsb < prev_poc_lsb && prev_poc_lsb - pic.poc_lsb >= max_poc_lsb / 2) {
            poc_msb += max_poc_lsb;
        } else if (pic.poc_lsb > prev_poc_lsb && pic.poc_lsb - prev_poc_lsb > max_poc_lsb / 2) {
            poc_msb -= max_poc_lsb;
        }
        const int top = poc_msb + pic.poc_lsb;
        const int poc = std::min(top, top + pic.delta_poc_bottom);

        for (const Slice& slice : pic.slices) {
            for (size_t list = 0; list < 2; ++list) {
                const int active = slice.active_refs[list];
                if (active == 0) continue;
                std::vector<const Frame*> refs;
                if (slice.type != kSliceB) {
                    for (const Frame& f : shorts) refs.push_back(&f);
                } else {
                    // Nearest before, then nearest after, in presentation order (list 1 the
                    // other way round).
                    std::vector<const Frame*> before;
                    std::vector<const Frame*> after;
                    for (const Frame& f : shorts) (f.poc <= poc ? before : after).push_back(&f);
                    auto later = [](const Frame* a, const Frame* b) { return a->poc > b->poc; };
                    auto earlier = [](const Frame* a, const Frame* b) { return a->poc < b->poc; };
                    std::stable_sort(before.begin(), before.end(), later);
                    std::stable_sort(after.begin(), after.end(), earlier);
                    const auto& first_half = list == 0 ? before : after;
                    const auto& second_half = list == 0 ? after : before;
                    refs = first_half;
                    refs.insert(refs.end(), second_half.begin(), second_half.end());
                    if (list == 1 && refs.size() > 1 && before.empty() != after.empty()) {
                        std::swap(refs[0], refs[1]);  // list 1 would equal list 0
                    }
                }
                refs.resize(static_cast<size_t>(active), nullptr);
                // Reordering: each step puts the frame with the next picture number at the
                // step's place and moves the entries after it down.
                int pred = pic.frame_num;
                size_t index = 0;
                for (const Reorder& step : slice.reorders[list]) {
                    if (index >= refs.size()) break;
                    pred = ((pred + step.pic_num_diff) % max_frame_num + max_frame_num) %
                           max_frame_num;
                    const Frame* found = nullptr;
                    for (const Frame& f : shorts) {
                        if (f.frame_num == pred) found = &f;
                    }
                    if (!found) {
                        refs[index++] = nullptr;
                        continue;
                    }
                    size_t end = index;
                    while (end + 1 < refs.size() && refs[end] != found) ++end;
                    for (size_t k = end; k > index; --k) refs[k] = refs[k - 1];
                    refs[index++] = found;
                }
                for (const Frame* f : refs) lists[i].push_back(f ? f->picture : kMissing);
            }
        }

        if (pic.reference) {
            if (pic.adaptive_marking) {
                for (int diff : pic.unmark_pic_num_diffs) {
                    const int frame_num =
                        ((pic.frame_num - diff) % max_frame_num + max_frame_num) % max_frame_num;
                    auto it = std::find_if(shorts.begin(), shorts.end(), [&](const Frame& f) {
                        return f.frame_num == frame_num;
                    });
                    if (it != shorts.end()) shorts.erase(it);
                }
            } else if (!pic.idr && !shorts.empty() &&
                       static_cast<int>(shorts.size()) >= sps.max_num_ref_frames) {
                shorts.pop_back();  // the sliding window
            }
            for (const Frame& f : shorts) {
                if (f.frame_num == pic.frame_num) return {};
            }
            shorts.insert(shorts.begin(), Frame{static_cast<int>(i), pic.frame_num, poc});
            if (static_cast<int>(shorts.size()) > std::max(sps.max_num_ref_frames, 1)) return {};
            prev_poc_msb = poc_msb;
            prev_poc_lsb = pic.poc_lsb;
        }
        prev_frame_num = pic.frame_num;
    }
    return lists;
}

// Bytes that take the place of `pic` in the decoder's buffer at almost no cost: one P slice of
// skipped macroblocks (a copy of the newest reference frame), entropy-coded with CAVLC under a
// picture parameter set of its own, carrying the frame_num, picture order count and reference
// marking of `pic`. The buffer then holds after it the same frames, with the same numbers and
// order counts, as after `pic`; only the stand-in's pixels differ, and nothing needed reads them.
std::vector<uint8_t> StandIn(const Picture& pic, int pps_id, int length_size) {
    BitWriter pps;
    pps.Ue(static_cast<uint32_t>(pps_id));
    pps.Ue(static_cast<uint32_t>(pic.sps.id));
    pps.Bit(0);  // CAVLC
    pps.Bit(pic.bottom_field_pic_order_present ? 1 : 0);
    pps.Ue(0);  // one slice group
    pps.Ue(0);  // one reference in each list by default
    pps.Ue(0);
    pps.Bits(0, 3);  // no weighted prediction
    pps.Se(0);  // quantiser offsets
    pps.Se(0);
    pps.Se(0);
    pps.Bit(1);  // deblocking control in the slice header
    pps.Bits(0, 2);  // no constrained intra prediction, no redundant pictures

    BitWriter slice;
    slice.Ue(0);  // first macroblock
    slice.Ue(kSliceP);
    slice.Ue(static_cast<uint32_t>(pps_id));
    slice.Bits(static_cast<uint32_t>(pic.frame_num), pic.sps.log2_max_frame_num);
    slice.Bits(static_cast<uint32_t>(pic.poc_lsb), pic.sps.log2_max_poc_lsb);
    if (pic.bottom_field_pic_order_present) slice.Se(pic.delta_poc_bottom);
    slice.Bit(1);  // num_ref_idx_active_override_flag: one reference
    slice.Ue(0);
    slice.Bit(0);  // no reordering
    slice.Bit(pic.adaptive_marking ? 1 : 0);
    if (pic.adaptive_marking) {
        for (int diff : pic.unmark_pic_num_diffs) {
            slice.Ue(1);
            slice.Ue(static_cast<uint32_t>(diff - 1));
        }
        slice.Ue(0);
    }
    slice.Se(0);  // slice_qp_delta
    slice.Ue(1);  // no deblocking
    slice.Ue(pic.sps.macroblocks);  // every macroblock skipped

    std::vector<uint8_t> out;
    for (const std::vector<uint8_t>& nal :
         {pps.Nal(3, kNalPps), slice.Nal(pic.nal_ref_idc, kNalSlice)}) {
        if (length_size > 0) {
            for (int i = length_size - 1; i >= 0; --i) {
                out.push_back(static_cast<uint8_t>(nal.size() >> (8 * i)));
            }
        } else {
            out.insert(out.end(), {0, 0, 0, 1});
        }
        out.insert(out.end(), nal.begin(), nal.end());
    }
    return out;
}

}  // namespace

H264Plan PlanH264Decode(ByteSpan extradata, const std::vector<ByteSpan>& packets, size_t want) {
    H264Plan plan;
    if (want >= packets.size()) return plan;
    ParameterSets sets;
    int length_size = 0;
    if (!ReadConfiguration(extradata, sets, length_size)) return plan;

    // One picture per packet; a packet without a slice has none. Packets that carry parameter
    // sets are always decoded.
    std::vector<Picture> pics(want + 1);
    std::vector<bool> has_picture(want + 1, false);
    std::vector<bool> must(want + 1, false);
    for (size_t i = 0; i <= want; ++i) {
        bool ok = ForEachNal(packets[i], length_size, [&](const uint8_t* nal, size_t size) {
            if (nal[0] & 0x80) return false;  // forbidden_zero_bit
            const int type = nal[0] & 0x1F;
            const int ref_idc = nal[0] >> 5 & 3;
            if (type == kNalSps || type == kNalPps) {
                must[i] = true;
                BitReader r(nal + 1, size - 1, size);
                return type == kNalSps ? sets.ParseSps(r) : sets.ParsePps(r);
            }
            if (type >= kNalPartitionA && type <= kNalPartitionC) return false;
            if (type != kNalSlice && type != kNalIdr) return true;
            BitReader r(nal + 1, size - 1, kSliceHeaderBytes);
            const bool first = !has_picture[i];
            has_picture[i] = true;
            return ParseSlice(r, type, ref_idc, sets, pics[i], first);
        });
        if (!ok) return plan;
    }
    if (!has_picture[0] || !pics[0].idr || !has_picture[want]) return plan;
    const int stand_in_pps = sets.FreePpsId();
    if (stand_in_pps < 0) return plan;

    std::vector<size_t> packet_of;  // the packet of each picture
    std::vector<Picture> only;
    for (size_t i = 0; i <= want; ++i) {
        if (!has_picture[i]) continue;
        if (pics[i].sps.separate_colour_plane) return plan;
        packet_of.push_back(i);
        only.push_back(std::move(pics[i]));
    }
    const size_t last = only.size() - 1;
    const std::vector<std::vector<int>> lists = ReferenceLists(only, last);
    if (lists.empty()) return plan;

    // The picture asked for, every IDR picture and parameter set carrier, and everything they
    // predict from, and so on back.
    std::vector<bool> decoded(last + 1, false);
    for (size_t p = 0; p <= last; ++p) decoded[p] = p == last || only[p].idr || must[packet_of[p]];
    for (size_t p = last + 1; p-- > 0;) {
        if (!decoded[p]) continue;
        for (int r : lists[p]) {
            if (r >= 0) decoded[static_cast<size_t>(r)] = true;
        }
    }

    plan.send.assign(want + 1, true);
    plan.stand_in.assign(want + 1, {});
    for (size_t p = 0; p <= last; ++p) {
        if (decoded[p]) continue;
        const size_t i = packet_of[p];
        if (only[p].reference) {
            plan.stand_in[i] = StandIn(only[p], stand_in_pps, length_size);
        } else {
            plan.send[i] = false;  // nothing refers to it
        }
    }
    return plan;
}

}  // namespace video
