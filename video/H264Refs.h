// Which pictures of an H.264 stream one picture needs. A frame nine seconds past its key frame
// depends on far fewer frames than lie between them: in a B-pyramid the P-frames predict from
// the P-frame before them, and the B-frames kept as references serve only their own group of
// pictures. Reading the slice headers (reference lists and their reordering, the marking of
// references) tells which frames the asked-for one reaches, so only those are decoded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace video {

struct ByteSpan {
    const uint8_t* data = nullptr;
    size_t size = 0;
};

// `extradata` is the stream's codec configuration (an avcC record, or Annex B parameter sets,
// or empty); `packets` are the stream's packets in decoding order, one picture each, the first
// an IDR picture; `want` indexes the packet of the picture asked for. Returns, per packet up to
// and including `want`, whether a decoder must be given it so that the picture of `want` comes
// out exactly as a decoder given every packet makes it. Packets left out make gaps in frame_num
// that the decoder fills with stand-in frames; the plan leaves nothing out whose absence would
// change what the needed pictures predict from.
//
// Empty when the stream uses something this does not follow (field pictures, long-term
// references, picture order counts of type 1 or 2, slice groups, redundant or partitioned
// slices, an unreadable header...); then every packet has to be decoded.
std::vector<bool> H264PacketsNeeded(ByteSpan extradata, const std::vector<ByteSpan>& packets,
                                    size_t want);

}  // namespace video
