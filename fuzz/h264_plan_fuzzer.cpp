// libFuzzer target over the H.264 reference planner of the time seek: an Annex B stream is cut
// into one packet per picture (a new packet at each slice that starts a picture, parameter sets
// and SEI going with the picture after them), and the decode of its last picture is planned.
// The plan must cover exactly the packets up to that picture, and every stand-in must be a
// well-formed pair of NAL units.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "H264Refs.h"

namespace {

// Offsets of the NAL units (after their start codes) of an Annex B buffer.
std::vector<size_t> NalStarts(const uint8_t* data, size_t size) {
    std::vector<size_t> starts;
    for (size_t i = 0; i + 3 < size; ++i) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
            starts.push_back(i + 3);
            i += 2;
        }
    }
    return starts;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<size_t> starts = NalStarts(data, size);
    std::vector<video::ByteSpan> packets;
    size_t packet_start = 0;
    bool has_slice = false;
    for (size_t n = 0; n < starts.size(); ++n) {
        const size_t at = starts[n];
        const int type = data[at] & 0x1F;
        // A slice whose first_mb_in_slice is 0 (its first bit set) starts a picture.
        const bool starts_picture =
            (type == 1 || type == 5) && at + 1 < size && (data[at + 1] & 0x80) != 0;
        if (starts_picture && has_slice) {
            const size_t end = at - 3;
            packets.push_back({data + packet_start, end - packet_start});
            packet_start = end;
            has_slice = false;
        }
        if (type == 1 || type == 5) has_slice = true;
    }
    if (has_slice) packets.push_back({data + packet_start, size - packet_start});
    if (packets.empty() || packets.size() > 400) return 0;
    const size_t want = packets.size() - 1;
    const video::H264Plan plan = video::PlanH264Decode({}, packets, want);
    if (plan.send.empty()) return 0;
    if (plan.send.size() != want + 1 || plan.stand_in.size() != want + 1) std::abort();
    for (size_t i = 0; i <= want; ++i) {
        const std::vector<uint8_t>& s = plan.stand_in[i];
        if (s.empty()) continue;
        if (!plan.send[i] || NalStarts(s.data(), s.size()).size() != 2) std::abort();
    }
    if (!plan.send[0] || !plan.send[want] || !plan.stand_in[want].empty()) std::abort();
    return 0;
}
