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

// What to give the decoder for one picture: per packet up to and including the one asked for,
// whether to send it (`send`), and when `stand_in` holds bytes, those in its place.
struct H264Plan {
    std::vector<bool> send;
    std::vector<std::vector<uint8_t>> stand_in;
};

// `extradata` is the stream's codec configuration (an avcC record, or Annex B parameter sets,
// or empty); `packets` are the stream's packets in decoding order, one picture each, the first
// an IDR picture; `want` indexes the packet of the picture asked for. The plan decodes that
// picture, the IDR pictures and the pictures its reference lists lead to; reference pictures
// off that path are given as stand-ins (a picture of skipped macroblocks with the same numbers
// and marking, so the decoder's reference buffer evolves as in a full decode), and pictures
// nothing refers to are left out. The picture asked for then comes out exactly as a decoder
// given every packet makes it.
//
// `send` is empty when the stream uses something this does not follow (field pictures,
// long-term references, picture order counts of type 1 or 2, slice groups, redundant or
// partitioned slices, separate colour planes, gaps in frame_num, an unreadable header...);
// then every reference picture has to be decoded.
H264Plan PlanH264Decode(ByteSpan extradata, const std::vector<ByteSpan>& packets, size_t want);

}  // namespace video
