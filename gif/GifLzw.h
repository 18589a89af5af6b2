// The variable-length-code LZW decoder of GIF Table Based Image Data, and the placement of the
// colour indices it produces into rows, following the interlace passes. Nothing here knows about
// plug-ins or DIBs: the caller says where each row lives.
#pragma once

#include <cstddef>
#include <cstdint>

// One line of the interlace pass table: rows to advance after a completed row, and the first row
// of the pass. Passes 0 to 3 are the four interlace passes; a non-interlaced image runs as pass 3
// with a row step of 1 from row 0. Pass 4 means every row has been written.
struct GifInterlacePass {
    int32_t rowStep;
    int32_t firstRow;
};

inline constexpr GifInterlacePass kGifInterlacePasses[5] = {
    {8, 0},  // pass 1: every 8th row from row 0
    {8, 4},  // pass 2: every 8th row from row 4
    {4, 2},  // pass 3: every 4th row from row 2
    {2, 1},  // pass 4: every 2nd row from row 1
    {0, 0},  // finished
};
inline constexpr int32_t kGifFinishedPass = 4;

// Where the decoded colour indices go: `height` rows of `width` bytes, image row y (0 = top)
// starting at base + y * pitch. The pitch may be negative (bottom-up DIB rows). Every byte of the
// rows must be zero beforehand: positions that receive no index, or a value above 255, keep 0.
struct GifRowLayout {
    uint8_t* base = nullptr;
    ptrdiff_t pitch = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    bool interlaced = false;
    // With a sink, every row is decoded into the same `width` bytes at `base` (pitch 0) and
    // handed to the sink, image row number and bytes, as soon as it is complete; the sink leaves
    // the bytes zero for the next row. The decoder must then not copy strings from the rows
    // (GifLzwDecoder::SetLocateLimit(0)), which no longer hold them.
    void (*row_sink)(void* context, int32_t row, uint8_t* indices) = nullptr;
    void* sink_context = nullptr;
};

// Places colour indices one after another into the rows of a GifRowLayout, row by row in the
// order of the interlace passes. Indices that arrive after the last row are dropped.
class GifPixelPlacer {
public:
    void Start(const GifRowLayout& layout);

    // Stores one colour index at the current position and moves on.
    void PutPixel(uint8_t value) {
        if (IsFinished()) return;
        m_row[m_pixelColumn] = value;
        if (++m_pixelColumn == m_width) NextRow();
    }
    // Stores `count` indices from `src`, which must not overlap the positions not yet written.
    void PutPixels(const uint8_t* src, uint32_t count);
    // Moves past `count` positions (at most RoomInRow()) that the caller has written in the
    // current row through Cursor().
    void Advance(uint32_t count) {
        m_pixelColumn += count;
        if (m_pixelColumn == m_width) NextRow();
    }

    bool IsFinished() const { return m_interlacePass == kGifFinishedPass; }
    uint32_t RoomInRow() const { return m_width - m_pixelColumn; }
    uint8_t* Cursor() const { return m_row + m_pixelColumn; }
    uint8_t* RowEnd() const { return m_row + m_width; }
    // Moves to `cursor`, a position in the current row up to its end, which the caller has
    // written up to; at the row's end on to the next row.
    void Seek(uint8_t* cursor) { Advance(static_cast<uint32_t>(cursor - Cursor())); }
    int32_t PixelRow() const { return m_pixelRow; }
    uint32_t PixelColumn() const { return m_pixelColumn; }
    int32_t InterlacePass() const { return m_interlacePass; }
    const GifRowLayout& Layout() const { return m_layout; }
    // True when consecutive positions are consecutive bytes from the first row to the last.
    bool IsLinear() const { return m_linear; }

    // The lowest address of the rows and the number of bytes from there to the end of the last
    // byte of the highest row (0 for an empty layout).
    uint8_t* RegionStart() const { return m_regionStart; }
    size_t RegionSize() const { return m_regionSize; }

    // Zeroes the bytes from the current position to the end of the current row (at most `count`),
    // where a bulk copy may have written ahead of the position.
    void ClearAhead(uint32_t count);

private:
    void NextRow();

    GifRowLayout m_layout;
    uint8_t* m_row = nullptr;  // start of the current row
    uint32_t m_width = 0;
    uint32_t m_pixelColumn = 0;
    int32_t m_pixelRow = 0;
    int32_t m_rowStep = 0;
    int32_t m_interlacePass = kGifFinishedPass;
    bool m_linear = false;
    uint8_t* m_regionStart = nullptr;
    size_t m_regionSize = 0;
};

// How a run of the LZW decoder ended.
enum class GifLzwResult {
    EndCode,        // the end-of-information code arrived
    DataEnded,      // no further complete sub-block before the end code
    ImageComplete,  // every position of the image holds its index; the rest is not read
};

// The decoder's tables (about 44 KB): allocate it once per image, on the heap.
class GifLzwDecoder {
public:
    static constexpr uint32_t kMaxCodes = 4096;
    static constexpr uint32_t kMaxMinimumCodeSize = 11;

    // Decodes the data sub-blocks that start at data[pos] (a length byte) with the given LZW
    // minimum code size (0 to 11) into `placer`. `pos` moves past the sub-blocks that were read.
    GifLzwResult Decode(const uint8_t* data, size_t size, size_t& pos, uint32_t min_code_size,
                        GifPixelPlacer& placer);

    // Strings are copied from where they already stand only in rows that span at most this
    // many bytes (2^30, the most a 30-bit offset reaches). Tests lower it to send every table
    // code through the table walk.
    void SetLocateLimit(size_t bytes) {
        m_locateLimit = bytes < kLocateLimit ? bytes : kLocateLimit;
    }
    static constexpr size_t kLocateLimit = size_t{1} << 30;

private:
    static constexpr size_t kGatherBytes = 4096;
    static constexpr size_t kSlack = 16;

    bool Refill(uint32_t need_bits);
    bool Gather();
    GifLzwResult Run(uint32_t min_code_size, GifPixelPlacer& placer);
    void Emit(GifPixelPlacer& placer, const uint8_t* src, uint32_t count, bool can_read_ahead);

    size_t m_locateLimit = kLocateLimit;

    // Source: the raw bytes and the position of the next sub-block length byte.
    const uint8_t* m_data = nullptr;
    size_t m_size = 0;
    size_t m_pos = 0;
    bool m_sourceDone = false;

    // Payload of consecutive sub-blocks, gathered so that codes can be read 64 bits at a time.
    size_t m_bufPos = 0;
    size_t m_bufEnd = 0;
    uint64_t m_bits = 0;
    uint32_t m_bitCount = 0;

    // The string table. Code k is the string of its prefix code followed by its suffix value.
    // A stable code (its chain runs through codes defined since the last clear code, each below
    // the one before, down to a root) keeps its string until the next clear code; its length
    // and m_place then tell where that string already stands in the rows, when it does (length
    // 0: nowhere known). Root codes have length 1 and their value at m_roots[k].
    //   m_link: bits 0-11 length, 12-23 prefix, 24-31 suffix
    //   m_place: bits 0-29 offset, bit 31 stable
    uint32_t m_link[kMaxCodes];
    uint32_t m_place[kMaxCodes];

    uint8_t m_roots[kMaxCodes + kSlack];
    uint8_t m_gather[kGatherBytes + kSlack];
    // A string built by walking the table, back to front; room to read 16 bytes past its end.
    uint8_t m_stack[kMaxCodes + kSlack];
};
