// GIF pictures (87a and 89a): one image of the stream, chosen by index, decoded by itself into a
// 1-, 4- or 8-bit packed DIB; and the light information read that also collects comment text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "GifLzw.h"
#include "GlobalBlock.h"
#include "ImageFileBase.h"

// Result codes of the GIF reads, as the exports return them.
enum class GifResult : int32_t {
    Ok = 0,
    BadSignature = 1,         // header not GIF87a/GIF89a; LZW minimum code size 12 or more;
                              // decoder tables not obtained
    DataEnded = 2,            // the data ended before the selected image's data
    BadBlock = 3,             // a byte other than 0x21 or 0x2C where a block must begin
    NoMemory = 4,             // picture memory not obtained, or more pixels than allowed
    NothingAfterHeader = -6,  // information read: no block after the screen descriptor
};

constexpr int32_t ToAbi(GifResult r) { return static_cast<int32_t>(r); }

class GifFile : public ImageFileBase {
public:
    // Largest image, in pixels, that a picture read decodes by default. Hostile streams can
    // announce 65535 x 65535 images in a few bytes; anything above this is refused with 4.
    static constexpr uint64_t kDefaultMaxPixels = uint64_t{1} << 30;
    // Bytes of comment text an information read keeps.
    static constexpr size_t kMaxCommentBytes = 2048;

    GifFile();
    ~GifFile() override;

    int32_t ReadPictureFromMemory() override;
    int32_t ReadInfoFromMemory() override;

    // Reads the stream at `data` and builds the DIB of the selected image; returns a GifResult
    // code. A null `data` keeps the stream set before.
    int32_t DecodePicture(const uint8_t* data, size_t size);

    // Which image a picture read decodes; 0 is the first. A negative index counts as a very
    // large one.
    void SetImageIndex(int32_t index) { m_imageIndex = index; }
    int32_t ImageIndex() const { return m_imageIndex; }
    void SetMaxPixels(uint64_t max_pixels) { m_maxPixels = max_pixels; }
    // 1- and 4-bit pictures of more pixels than this are packed into the DIB row by row as they
    // are decoded, rather than through an index byte per pixel (tests lower it).
    void SetRowByRowPixels(uint64_t pixels) { m_rowByRowPixels = pixels; }
    static constexpr uint64_t kDefaultRowByRowPixels = uint64_t{1} << 24;

    // What the last picture read found.
    int32_t ImageWidth() const { return m_imageWidth; }
    int32_t ImageHeight() const { return m_imageHeight; }
    int32_t ColourBits() const { return m_colourBits; }
    bool HasColourTable() const { return m_hasColourTable; }
    bool IsInterlaced() const { return m_interlaced; }
    uint8_t PaletteRed(int i) const { return m_paletteRed[i]; }
    uint8_t PaletteGreen(int i) const { return m_paletteGreen[i]; }
    uint8_t PaletteBlue(int i) const { return m_paletteBlue[i]; }

    // The DIB bit count for a colour table of 2^colour_bits entries: 1, 4 or 8.
    static int32_t DibBitCountFor(int32_t colour_bits);

protected:
    // Movable memory for the packed DIB; tests replace it to make it fail.
    virtual SpiHandle AllocateDibBlock(size_t size);

private:
    void ClearReadState();
    [[nodiscard]] bool ReadBytes(void* destination, size_t count);
    [[nodiscard]] bool SkipBytes(size_t count);
    [[nodiscard]] bool SkipSubBlocks();
    [[nodiscard]] bool ReadColourTable(int32_t count);
    GifResult ParseStream();
    GifResult SkipImage();
    GifResult AllocatePixels();
    GifResult DecodeImageData();
    GifResult BuildDib();
    static void PackRow(void* self, int32_t row, uint8_t* indices);
    // Packs `width` indices into a 1- or 4-bit DIB row, each masked to the bit count.
    static void PackIndices(const uint8_t* src, size_t width, int32_t bit_count, uint8_t* dst);

    // Set by the caller; kept across reads.
    int32_t m_imageIndex = 0;
    uint64_t m_maxPixels = kDefaultMaxPixels;
    uint64_t m_rowByRowPixels = kDefaultRowByRowPixels;

    // State of one picture read, cleared at its start.
    uint32_t m_skipCount = 0;
    const uint8_t* m_gifData = nullptr;
    size_t m_gifDataSize = 0;
    size_t m_gifReadPos = 0;
    int32_t m_imageWidth = 0;
    int32_t m_imageHeight = 0;
    int32_t m_colourBits = 0;
    bool m_hasColourTable = false;
    bool m_interlaced = false;
    uint8_t m_paletteRed[256] = {};
    uint8_t m_paletteGreen[256] = {};
    uint8_t m_paletteBlue[256] = {};
    GifPixelPlacer m_placer;
    // Indices of 1- and 4-bit pictures, top-down rows of m_imageWidth bytes; 8-bit pictures
    // are decoded straight into the rows of the DIB.
    std::unique_ptr<uint8_t[]> m_indexBuffer;
    size_t m_indexBufferSize = 0;
    bool m_rowByRow = false;  // m_indexBuffer holds one row, packed into the DIB when complete
    OwnedHandle m_dib;
    bool m_dibLocked = false;  // held locked while the indices are decoded into it
    uint8_t* m_dibBase = nullptr;  // its address meanwhile
    uint64_t m_dibStride = 0;
    uint64_t m_dibHeaderPart = 0;  // header and colour table
};
