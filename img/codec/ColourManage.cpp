#include "ColourManage.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#ifdef ZEM_CODEC_LCMS2
#include <lcms2.h>
#endif

#ifdef ZEM_CODEC_LCMS2
namespace {

// Owners of lcms2 objects.
struct Profile {
    cmsHPROFILE h;
    explicit Profile(cmsHPROFILE p) : h(p) {}
    ~Profile() {
        if (h) cmsCloseProfile(h);
    }
    Profile(const Profile&) = delete;
    Profile& operator=(const Profile&) = delete;
};

struct Transform {
    cmsHTRANSFORM h;
    explicit Transform(cmsHTRANSFORM t) : h(t) {}
    ~Transform() {
        if (h) cmsDeleteTransform(h);
    }
    Transform(const Transform&) = delete;
    Transform& operator=(const Transform&) = delete;
};

// lcms2 reports errors through a process-wide handler; a context of our own keeps them quiet
// and leaves other users of the library alone.
cmsContext Context() {
    static const cmsContext context = [] {
        cmsContext c = cmsCreateContext(nullptr, nullptr);
        if (c) cmsSetLogErrorHandlerTHR(c, [](cmsContext, cmsUInt32Number, const char*) {});
        return c;
    }();
    return context;
}

// grey -> BGR for all 256 levels.
bool GreyTable(cmsHPROFILE in, cmsHPROFILE srgb, uint8_t (&table)[256][3]) {
    Transform t(
        cmsCreateTransformTHR(Context(), in, TYPE_GRAY_8, srgb, TYPE_BGR_8, INTENT_PERCEPTUAL, 0));
    if (!t.h) return false;
    uint8_t levels[256];
    for (int i = 0; i < 256; ++i) levels[i] = static_cast<uint8_t>(i);
    cmsDoTransform(t.h, levels, table, 256);
    return true;
}

// Matrix-shaper RGB profiles (P3, Adobe RGB and most camera profiles) go to sRGB through three
// curves, a 3 x 3 matrix and sRGB's curve, all taken from lcms2's reading of the profiles. Each
// sample's shares of the three output channels sit in one 64-bit word, a 21-bit field each
// (linear light in units of 2^-16, offset so that no field borrows from the next), so a pixel
// is three look-ups and two additions; each field's sum then indexes an encoding table that
// clamps as well.
class MatrixShaper {
public:
    bool Build(cmsHPROFILE in, cmsHPROFILE srgb) {
        if (!cmsIsMatrixShaper(in) || cmsGetColorSpace(in) != cmsSigRgbData) return false;
        double from[3][3], to[3][3];
        if (!Colorants(in, from) || !Colorants(srgb, to) || !Invert(to)) return false;
        double matrix[3][3];
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j) {
                matrix[i][j] = 0;
                for (int k = 0; k < 3; ++k) matrix[i][j] += to[i][k] * from[k][j];
                // Wider than any real gamut's (BT.2020 to sRGB stays below 1.7): the fields
                // below hold the sums of three such shares.
                if (std::fabs(matrix[i][j]) > 2) return false;
            }
        }
        const cmsTagSignature trcs[3] = {cmsSigRedTRCTag, cmsSigGreenTRCTag, cmsSigBlueTRCTag};
        for (int c = 0; c < 3; ++c) {
            const auto* curve = static_cast<const cmsToneCurve*>(cmsReadTag(in, trcs[c]));
            if (!curve) return false;
            for (int v = 0; v < 256; ++v) {
                const double linear =
                    std::min(1.0, std::max(0.0, static_cast<double>(cmsEvalToneCurveFloat(
                                                    curve, static_cast<float>(v) / 255.0f))));
                uint64_t word = 0;
                for (int o = 0; o < 3; ++o) {
                    // The red share carries half a unit of the index, so that it rounds.
                    const int64_t share = std::llround(matrix[o][c] * linear * (1 << 16)) +
                                          kOffset + (c == 0 ? (1 << (kDrop - 1)) : 0);
                    word |= static_cast<uint64_t>(share) << (kFieldBits * o);
                }
                m_packed[c][v] = word;
            }
        }
        const auto* out_curve = static_cast<const cmsToneCurve*>(cmsReadTag(srgb, cmsSigRedTRCTag));
        cmsToneCurve* encode = out_curve ? cmsReverseToneCurve(out_curve) : nullptr;
        if (!encode) return false;
        for (int i = 0; i <= kOne; ++i) {
            const float v =
                cmsEvalToneCurveFloat(encode, static_cast<float>(i) / static_cast<float>(kOne));
            m_encode[kZero + i] =
                static_cast<uint8_t>(std::lround(std::min(1.0f, std::max(0.0f, v)) * 255));
        }
        cmsFreeToneCurve(encode);
        std::memset(m_encode, m_encode[kZero], kZero);
        std::memset(m_encode + kZero + kOne + 1, m_encode[kZero + kOne],
                    sizeof m_encode - (kZero + kOne + 1));
        return true;
    }

    // BGR or BGRA pixels in place; alpha is left alone.
    void Run(uint8_t* p, uint32_t count, size_t bpp) const {
        constexpr uint64_t kMask = (uint64_t{1} << kFieldBits) - 1;
        for (uint32_t i = 0; i < count; ++i, p += bpp) {
            const uint64_t sum = m_packed[0][p[2]] + m_packed[1][p[1]] + m_packed[2][p[0]];
            p[2] = m_encode[(sum & kMask) >> kDrop];
            p[1] = m_encode[((sum >> kFieldBits) & kMask) >> kDrop];
            p[0] = m_encode[(sum >> (2 * kFieldBits)) >> kDrop];
        }
    }

private:
    static constexpr int kFieldBits = 21;
    static constexpr int kDrop = 2;                           // units of 2^-16 to 2^-14
    static constexpr int64_t kOffset = int64_t{1} << 17;      // shares within +-2^17
    static constexpr int32_t kOne = 1 << 14;                  // linear 1.0 in the table's units
    static constexpr int32_t kZero = (3 * kOffset) >> kDrop;  // where linear 0 falls
    // Three offset shares (and the half unit) stay below 3 x 2^18 + 2: 3 x 2^16 + 1 indexes.
    static constexpr size_t kIndexes = (size_t{3} << (18 - kDrop)) + 1;

    // The columns are the red, green and blue colorants (XYZ relative to D50).
    static bool Colorants(cmsHPROFILE p, double (&m)[3][3]) {
        const cmsTagSignature tags[3] = {cmsSigRedColorantTag, cmsSigGreenColorantTag,
                                         cmsSigBlueColorantTag};
        for (int c = 0; c < 3; ++c) {
            const auto* xyz = static_cast<const cmsCIEXYZ*>(cmsReadTag(p, tags[c]));
            if (!xyz) return false;
            m[0][c] = xyz->X, m[1][c] = xyz->Y, m[2][c] = xyz->Z;
        }
        return true;
    }

    static bool Invert(double (&m)[3][3]) {
        const double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                           m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                           m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
        if (std::fabs(det) < 1e-9) return false;
        double r[3][3];
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j) {
                const int a = (j + 1) % 3, b = (j + 2) % 3, c = (i + 1) % 3, d = (i + 2) % 3;
                r[i][j] = (m[a][c] * m[b][d] - m[a][d] * m[b][c]) / det;
            }
        }
        std::memcpy(m, r, sizeof r);
        return true;
    }

    uint64_t m_packed[3][256] = {};
    uint8_t m_encode[kIndexes] = {};
};

}  // namespace
#endif

bool ColourManagementAvailable() {
#ifdef ZEM_CODEC_LCMS2
    return true;
#else
    return false;
#endif
}

#ifdef ZEM_CODEC_LCMS2
// One of three ways, chosen by the profile: a grey table, the matrix-shaper tables, or lcms2's
// general transform (LUT-based RGB profiles).
struct SrgbConverter::Impl {
    uint8_t grey[256][3] = {};  // grey level -> BGR
    bool is_grey = false;
    MatrixShaper fast;
    bool is_fast = false;
    cmsHTRANSFORM general = nullptr;  // in the picture's own layout (BGR, BGRA for palettes)
    ~Impl() {
        if (general) cmsDeleteTransform(general);
    }
};
#else
struct SrgbConverter::Impl {};
#endif

SrgbConverter::SrgbConverter() = default;
SrgbConverter::~SrgbConverter() = default;

CodecStatus SrgbConverter::Prepare(const uint8_t* icc, size_t size, uint16_t bits) {
    m_impl.reset();
#ifdef ZEM_CODEC_LCMS2
    if (!icc || size < 132 || size > 0xFFFFFFFFu) return CodecStatus::Broken;
    Profile in(cmsOpenProfileFromMemTHR(Context(), icc, static_cast<cmsUInt32Number>(size)));
    if (!in.h) return CodecStatus::Broken;
    Profile srgb(cmsCreate_sRGBProfileTHR(Context()));
    if (!srgb.h) return CodecStatus::NoMemory;
    // No exception: decoders prepare the conversion where none may pass (libjpeg's frames).
    std::unique_ptr<Impl> impl(new (std::nothrow) Impl);
    if (!impl) return CodecStatus::NoMemory;
    // Kept as a number: a profile may name a space that the enum does not list.
    const cmsUInt32Number space = cmsGetColorSpace(in.h);
    if (space == cmsSigGrayData) {
        // Grey pictures come as indexed grey or as BGR(A) with equal channels; a table serves.
        if (!GreyTable(in.h, srgb.h, impl->grey)) return CodecStatus::Unsupported;
        impl->is_grey = true;
    } else if (space != cmsSigRgbData) {
        return CodecStatus::Unsupported;
    } else if (bits > 8 && impl->fast.Build(in.h, srgb.h)) {
        impl->is_fast = true;
    } else {
        const bool quads = bits <= 8 || bits == 32;
        const cmsUInt32Number format = quads ? TYPE_BGRA_8 : TYPE_BGR_8;
        impl->general = cmsCreateTransformTHR(Context(), in.h, format, srgb.h, format,
                                              INTENT_PERCEPTUAL, quads ? cmsFLAGS_COPY_ALPHA : 0);
        if (!impl->general) return CodecStatus::Unsupported;
    }
    m_bits = bits;
    m_impl = std::move(impl);
    return CodecStatus::Ok;
#else
    (void)icc, (void)size, (void)bits;
    return CodecStatus::Unsupported;
#endif
}

void SrgbConverter::ConvertPixels(uint8_t* row, uint32_t count) const {
#ifdef ZEM_CODEC_LCMS2
    if (!m_impl || m_bits <= 8) return;
    const size_t bpp = m_bits / 8u;
    if (m_impl->is_grey) {
        for (uint32_t x = 0; x < count; ++x, row += bpp) {
            const uint8_t* c = m_impl->grey[row[1]];
            row[0] = c[0], row[1] = c[1], row[2] = c[2];
        }
    } else if (m_impl->is_fast) {
        m_impl->fast.Run(row, count, bpp);
    } else {
        cmsDoTransform(m_impl->general, row, row, count);
    }
#else
    (void)row, (void)count;
#endif
}

void SrgbConverter::ConvertPalette(RgbQuad* palette, uint32_t count) const {
#ifdef ZEM_CODEC_LCMS2
    if (!m_impl || m_bits > 8) return;
    if (m_impl->is_grey) {
        for (uint32_t i = 0; i < count; ++i) {
            const uint8_t* c = m_impl->grey[palette[i].green];
            palette[i].blue = c[0], palette[i].green = c[1], palette[i].red = c[2];
        }
    } else {
        cmsDoTransform(m_impl->general, palette, palette, count);
    }
#else
    (void)palette, (void)count;
#endif
}

CodecStatus ConvertToSrgb(DibCanvas& canvas, const uint8_t* icc, size_t size) {
    if (!canvas.IsCreated()) {
        return ColourManagementAvailable() ? CodecStatus::Broken : CodecStatus::Unsupported;
    }
    SrgbConverter converter;
    const CodecStatus prepared = converter.Prepare(icc, size, canvas.BitCount());
    if (prepared != CodecStatus::Ok) return prepared;
    if (canvas.BitCount() <= 8) {
        converter.ConvertPalette(canvas.Palette(), 1u << canvas.BitCount());
    } else {
        for (uint32_t y = 0; y < canvas.Height(); ++y) {
            converter.ConvertPixels(canvas.Row(y), canvas.Width());
        }
    }
    return CodecStatus::Ok;
}

bool ProfileConvertible(const uint8_t* icc, size_t size) {
#ifdef ZEM_CODEC_LCMS2
    if (!icc || size < 132 || size > 0xFFFFFFFFu) return false;
    Profile in(cmsOpenProfileFromMemTHR(Context(), icc, static_cast<cmsUInt32Number>(size)));
    if (!in.h) return false;
    Profile srgb(cmsCreate_sRGBProfileTHR(Context()));
    // Kept as a number: a profile may name a space that the enum does not list.
    const cmsUInt32Number space = cmsGetColorSpace(in.h);
    if (!srgb.h || (space != cmsSigGrayData && space != cmsSigRgbData)) return false;
    Transform t(cmsCreateTransformTHR(Context(), in.h,
                                      space == cmsSigGrayData ? TYPE_GRAY_8 : TYPE_BGR_8, srgb.h,
                                      TYPE_BGR_8, INTENT_PERCEPTUAL, 0));
    return t.h != nullptr;
#else
    (void)icc, (void)size;
    return false;
#endif
}

CicpColours CicpToProfile(const uint8_t (&cicp)[4], std::vector<uint8_t>& icc) {
    icc.clear();
    if (cicp[2] != 0 || cicp[3] != 1) return CicpColours::Unknown;  // YCbCr or narrow range
    const uint8_t primaries = cicp[0], transfer = cicp[1];
    if (primaries == 1 && transfer == 13) return CicpColours::Srgb;
#ifdef ZEM_CODEC_LCMS2
    cmsCIExyYTRIPLE xy;
    switch (primaries) {
        case 1:
            xy = {{0.640, 0.330, 1}, {0.300, 0.600, 1}, {0.150, 0.060, 1}};
            break;
        case 9:
            xy = {{0.708, 0.292, 1}, {0.170, 0.797, 1}, {0.131, 0.046, 1}};
            break;
        case 12:
            xy = {{0.680, 0.320, 1}, {0.265, 0.690, 1}, {0.150, 0.060, 1}};
            break;
        default:
            return CicpColours::Unknown;
    }
    // Parametric type 4: Y = (aX + b)^g from X = d, Y = cX below.
    cmsFloat64Number curve[5] = {};
    const char* curve_name = "";
    switch (transfer) {
        case 1:
        case 6:
        case 14:
        case 15:  // the inverse of BT.709's camera curve
            curve[0] = 1 / 0.45, curve[1] = 1 / 1.099, curve[2] = 0.099 / 1.099;
            curve[3] = 1 / 4.5, curve[4] = 0.081;
            curve_name = "BT.709";
            break;
        case 13:
            curve[0] = 2.4, curve[1] = 1 / 1.055, curve[2] = 0.055 / 1.055;
            curve[3] = 1 / 12.92, curve[4] = 0.04045;
            curve_name = "sRGB";
            break;
        case 8:
            curve[0] = 1, curve[1] = 1;
            curve_name = "linear";
            break;
        case 4:
        case 5:
            curve[0] = transfer == 4 ? 2.2 : 2.8, curve[1] = 1;
            curve_name = transfer == 4 ? "gamma 2.2" : "gamma 2.8";
            break;
        default:
            return CicpColours::Unknown;
    }
    cmsToneCurve* tone = cmsBuildParametricToneCurve(Context(), 4, curve);
    if (!tone) return CicpColours::Unknown;
    cmsToneCurve* tones[3] = {tone, tone, tone};
    const cmsCIExyY d65 = {0.3127, 0.3290, 1};
    Profile p(cmsCreateRGBProfileTHR(Context(), &d65, &xy, tones));
    cmsFreeToneCurve(tone);
    if (!p.h) return CicpColours::Unknown;
    const char* name = primaries == 1 ? "BT.709" : primaries == 9 ? "BT.2020" : "Display P3";
    const std::string description = std::string(name) +
                                    ", " + curve_name + " curve (CICP " +
                                    std::to_string(primaries) + "/" + std::to_string(transfer) +
                                    ")";
    if (cmsMLU* mlu = cmsMLUalloc(Context(), 1)) {
        cmsMLUsetASCII(mlu, "en", "US", description.c_str());
        cmsWriteTag(p.h, cmsSigProfileDescriptionTag, mlu);
        cmsMLUfree(mlu);
    }
    cmsUInt32Number size = 0;
    if (!cmsSaveProfileToMem(p.h, nullptr, &size) || size == 0) return CicpColours::Unknown;
    icc.resize(size);
    if (!cmsSaveProfileToMem(p.h, icc.data(), &size)) {
        icc.clear();
        return CicpColours::Unknown;
    }
    return CicpColours::Profile;
#else
    return CicpColours::Unknown;
#endif
}

std::string ProfileDescription(const uint8_t* icc, size_t size) {
#ifdef ZEM_CODEC_LCMS2
    if (!icc || size < 132 || size > 0xFFFFFFFFu) return {};
    Profile p(cmsOpenProfileFromMemTHR(Context(), icc, static_cast<cmsUInt32Number>(size)));
    if (!p.h) return {};
    char text[256] = {};
    cmsGetProfileInfoASCII(p.h, cmsInfoDescription, "en", "US", text, sizeof text);
    return text;
#else
    (void)icc, (void)size;
    return {};
#endif
}
