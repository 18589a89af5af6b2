// Converting a decoded picture from its ICC profile to sRGB (perceptual intent, alpha kept).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "CpuFeatures.h"
#include "DibCanvas.h"

// Whether this build converts colours at all (lcms2 present).
bool ColourManagementAvailable();

// A conversion from one profile to sRGB, prepared once for a picture and run on its rows as they
// come (or on its palette). Matrix-shaper RGB profiles go through tables built from lcms2's
// reading of the profile; grey profiles through a table of the 256 levels; other RGB profiles
// through lcms2's own transform.
class SrgbConverter {
public:
    explicit SrgbConverter(KernelLevel level = KernelLevel::Best);
    ~SrgbConverter();
    SrgbConverter(const SrgbConverter&) = delete;
    SrgbConverter& operator=(const SrgbConverter&) = delete;

    // For pictures of `bits` (8 or fewer: the palette converts; 24, 32: BGR, BGRA). Codes as
    // ConvertToSrgb's; until it returns Ok the conversions below leave pixels alone.
    [[nodiscard]] CodecStatus Prepare(const uint8_t* icc, size_t size, uint16_t bits);
    bool Ready() const { return m_impl != nullptr; }
    // `count` pixels of a 24- or 32-bit row, in place; alpha is kept.
    void ConvertPixels(uint8_t* row, uint32_t count) const;
    // An indexed picture's colour table, in place.
    void ConvertPalette(RgbQuad* palette, uint32_t count) const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
    uint16_t m_bits = 0;
    KernelLevel m_level;
};

// Converts the canvas's pixels (or palette, for indexed pictures) from `icc` to sRGB. Ok when
// converted; Unsupported when the profile does not fit the picture (a CMYK or Lab profile, grey
// against colour data) or this build converts nothing; Broken when the profile cannot be read.
[[nodiscard]] CodecStatus ConvertToSrgb(DibCanvas& canvas, const uint8_t* icc, size_t size);

// Whether ConvertToSrgb would take the profile (it can be read, it is RGB or grey, lcms2
// builds the transform), without a picture: what the information read promises.
bool ProfileConvertible(const uint8_t* icc, size_t size);

// What a CICP colour description (primaries, transfer, matrix, full range: ITU-T H.273 codes)
// makes of a picture's RGB colours: sRGB's own (nothing to convert), a profile built with lcms2
// from the primaries and transfer curve, or colours this build cannot convert. Built: BT.709 (1),
// BT.2020 (9) and Display P3 (12) primaries with the BT.709 (1, 6, 14, 15), sRGB (13), linear
// (8) and gamma 2.2 (4) and 2.8 (5) curves, on full-range RGB (matrix 0). PQ, HLG and the rest
// are not.
enum class CicpColours { Srgb, Profile, Unknown };
CicpColours CicpToProfile(const uint8_t (&cicp)[4], std::vector<uint8_t>& icc);

// The profile's description (its 'desc' tag, in English where it has several); empty when
// the profile cannot be read or this build has no lcms2.
std::string ProfileDescription(const uint8_t* icc, size_t size);
