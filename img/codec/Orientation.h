// Turning a decoded picture upright by its EXIF orientation (1 as stored, 2 mirrored, 3 turned
// half round, 4 flipped, 5 transposed, 6 a quarter turn clockwise, 7 transversed, 8 a quarter
// turn anticlockwise).
#pragma once

#include <cstdint>
#include <memory>

#include "CodecTypes.h"
#include "ColourManage.h"
#include "CpuFeatures.h"
#include "DibCanvas.h"

// Whether the orientation swaps the picture's width and height.
inline bool OrientationSwapsSides(uint8_t orientation) {
    return orientation >= 5 && orientation <= 8;
}

// Replaces the canvas's picture with the picture shown upright. Orientations 0 and 1 (and values
// outside 1..8) leave it alone. Palette and alpha are kept; the resolution is the caller's
// (swapped with the sides). Mirroring and flipping work in place; quarter turns (and 1- and
// 4-bit pictures) build the result in a second DIB, so for that copy the request holds two.
// Back ends that decode in rows avoid that through BandWriter.
[[nodiscard]] CodecStatus ApplyOrientation(DibCanvas& canvas, uint8_t orientation);

// What the layer asks of a back end that shows pictures upright and in sRGB as it decodes them
// (CodecBackend::AppliesPictureOptions), and what the back end answers.
struct PictureOptions {
    uint8_t orientation = 0;  // EXIF 1..8 to apply; 0 or 1: as stored
    bool srgb = false;        // convert to sRGB from `icc` (empty: the picture is sRGB already)
    const uint8_t* icc = nullptr;
    size_t icc_size = 0;
    bool applied = false;  // set by the back end: turned and converted as it decoded
    CodecStatus converted = CodecStatus::Unsupported;  // with srgb: the conversion's outcome
};

// Builds a picture upright and in sRGB as the options ask (none: as stored) while its decoder
// hands it over in bands of stored rows: the canvas is created once with the shown sides, each
// band is converted while it is in cache and then placed where it is shown, so no second
// picture is held and no pass over the whole picture follows the decode. For 8-, 24- and 32-bit
// pictures.
class BandWriter {
public:
    // Rows in a band when the band is placed rather than decoded in place: a quarter turn
    // then writes runs of 64 pixels, whole cache lines but at the ends.
    static constexpr uint32_t kMaxBandRows = 64;

    BandWriter(DibCanvas& canvas, PictureOptions* options,
               KernelLevel level = KernelLevel::Best);

    // Creates the canvas for a stored picture of these measures, turned, and prepares the
    // colour conversion (an unusable profile leaves the colours alone; NoMemory ends the
    // decode). The decoder then sets any palette on the canvas as usual.
    [[nodiscard]] CodecStatus Create(uint32_t width, uint32_t height, uint16_t bits);
    // Rows in a band: the decoder writes stored rows first .. first + BandRows() - 1 (first a
    // multiple of BandRows()) through Row, then hands them over with Commit.
    uint32_t BandRows() const { return m_bandRows; }
    // Where stored row y is to be written (valid until its band is committed).
    uint8_t* Row(uint32_t y) const;
    // Converts and places stored rows first .. first + count - 1.
    void Commit(uint32_t first, uint32_t count);
    // After the last band: converts the palette of an indexed picture.
    void Finish();

private:
    DibCanvas& m_canvas;
    PictureOptions* m_options;
    KernelLevel m_level;
    uint8_t m_orientation;
    SrgbConverter m_colours;
    uint32_t m_width = 0, m_height = 0;  // stored
    size_t m_bpp = 0;
    uint32_t m_bandRows = 16;
    std::unique_ptr<uint8_t[]> m_band;  // set when bands are placed rather than decoded in place
    size_t m_bandStride = 0;
};
