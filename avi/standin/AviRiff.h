// The structure of an AVI file as the AVIFile stand-in needs it: the main header (avih), each
// stream's header (strh), format (strf) and name (strn), and each stream's chunks with their
// key-frame flags from the file's index (idx1, or the OpenDML indx/ix## indexes), or from a scan
// of the movi lists when there is no index. It reads bytes only: nothing here knows codecs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "FourCC.h"

namespace avi {

constexpr uint32_t kStreamVideo = FourCC('v', 'i', 'd', 's');
constexpr uint32_t kStreamAudio = FourCC('a', 'u', 'd', 's');
constexpr uint32_t kIndexKeyFrame = 0x10;  // AVIIF_KEYFRAME of an idx1 entry
constexpr uint32_t kIndexList = 0x01;      // AVIIF_LIST: the entry names a LIST, not data

// MainAVIHeader, the avih chunk.
struct MainHeader {
    uint32_t micro_sec_per_frame = 0;
    uint32_t max_bytes_per_sec = 0;
    uint32_t padding_granularity = 0;
    uint32_t flags = 0;
    uint32_t total_frames = 0;
    uint32_t initial_frames = 0;
    uint32_t streams = 0;
    uint32_t suggested_buffer_size = 0;
    uint32_t width = 0;
    uint32_t height = 0;
};

// AVIStreamHeader, the strh chunk. Older files end it before rcFrame.
struct StreamHeader {
    uint32_t type = 0;
    uint32_t handler = 0;
    uint32_t flags = 0;
    uint16_t priority = 0;
    uint16_t language = 0;
    uint32_t initial_frames = 0;
    uint32_t scale = 0;
    uint32_t rate = 0;
    uint32_t start = 0;
    uint32_t length = 0;
    uint32_t suggested_buffer_size = 0;
    uint32_t quality = 0;
    uint32_t sample_size = 0;
    int16_t frame_left = 0;
    int16_t frame_top = 0;
    int16_t frame_right = 0;
    int16_t frame_bottom = 0;
};

// One data chunk of a stream: where its bytes are in the file and whether it is a key frame.
struct Chunk {
    uint64_t offset = 0;  // of the first data byte, past the chunk header
    uint32_t size = 0;
    bool key = false;
    bool present = true;  // false when the index points outside the file
};

struct Stream {
    StreamHeader header;
    std::vector<uint8_t> format;  // the strf bytes (a BITMAPINFOHEADER for video)
    std::string name;             // the strn text, without its NUL
    std::vector<Chunk> chunks;    // in file order: chunk i is sample i after the stream's start
};

enum class IndexSource { None, Idx1, OpenDml };

struct Contents {
    MainHeader main;
    bool has_main_header = false;
    std::vector<Stream> streams;
    IndexSource index = IndexSource::None;  // None: chunks found by scanning, all unflagged
};

enum class ParseStatus { Ok, NotAvi, Broken };

// Most streams a file may declare; real files have a handful.
constexpr size_t kMaxStreams = 100;
// Most index entries read in all, bounding the memory that a forged index can ask for.
constexpr size_t kMaxChunks = size_t{1} << 24;

// Reads the RIFF AVI structure of `data` (`size` bytes, a whole file or the front of one).
// NotAvi when it does not start as an AVI file; Broken when it has no avih header or no stream
// list. A file cut short keeps what lies before the cut.
ParseStatus ParseAvi(const uint8_t* data, size_t size, Contents& out);

}  // namespace avi
