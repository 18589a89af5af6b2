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

#include "CpuFeatures.h"

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

// The matrix-shaper conversion in 16-bit lanes, for processors with AVX-512 VBMI, whose byte
// and word permutes look up tables held in registers. Each stored channel's curve gives linear
// light in units of 2^-15 (its low and high bytes through two 128-byte permutes each); each
// output is three rounded products in units of 2^-14; and the encoding is a binary search over
// the linear values at which sRGB's 8-bit levels begin, one permute of thresholds a bit, which
// gives exactly the level that the encoding table holds for the sum. The portable loop's sums
// are exact to 2^-16; these are within 2^-14 of them.
struct VectorShaper {
    alignas(64) uint8_t curve[3][2][256] = {};  // [B, G, R][low, high byte][stored level]
    // Search step j decides bit j of the level (7 down to 0): its entry i holds the least
    // linear value shown with bit j set and bits 7 .. j + 1 as decided, which i holds reversed.
    alignas(64) uint16_t step[8][128] = {};
    alignas(64) uint8_t reversed[256] = {};  // a byte's bits in the other order
    int16_t matrix[3][3] = {};  // [B, G, R] output from [B, G, R] stored, units of 2^-14
    bool usable = false;

    // `linear[c][v]`: stored channel c (red, green, blue) at level v, within [0, 1];
    // `m[o][c]`: its share of output channel o; `encode[s]`: the level of linear s / `one`.
    void Build(const double (&linear)[3][256], const double (&m)[3][3], const uint8_t* encode,
               int32_t one) {
        usable = false;
        for (int o = 0; o < 3; ++o) {
            // Every partial sum of the products stays in 16 bits when the positive and the
            // negative shares of an output do, apart (with room for their rounding).
            long k[3], positive = 0, negative = 0;
            for (int c = 0; c < 3; ++c) {
                k[c] = std::lround(m[o][c] * 16384);
                (k[c] > 0 ? positive : negative) += k[c];
            }
            if (positive > 32760 || negative < -32760) return;
            for (int c = 0; c < 3; ++c) matrix[2 - o][2 - c] = static_cast<int16_t>(k[c]);
        }
        for (int c = 0; c < 3; ++c) {
            for (int v = 0; v < 256; ++v) {
                const long q = std::min(32767L, std::lround(linear[c][v] * 32768));
                curve[2 - c][0][v] = static_cast<uint8_t>(q);
                curve[2 - c][1][v] = static_cast<uint8_t>(q >> 8);
            }
        }
        for (int s = 1; s <= one; ++s) {
            if (encode[s] < encode[s - 1]) return;  // a search needs levels that never fall
        }
        uint16_t begins[256] = {};  // one + 1 where no linear value gives the level
        for (int level = 1, s = 0; level < 256; ++level) {
            while (s <= one && encode[s] < level) ++s;
            begins[level] = static_cast<uint16_t>(s);
        }
        for (int j = 0; j < 8; ++j) {
            for (int i = 0; i < (128 >> j); ++i) {
                int decided = 0;  // bit p of i is bit 7 - p of the level
                for (int p = 0; p < 7 - j; ++p) decided |= ((i >> p) & 1) << (7 - p);
                step[j][i] = begins[decided | (1 << j)];
            }
        }
        for (int v = 0; v < 256; ++v) {
            int turned = 0;
            for (int p = 0; p < 8; ++p) turned |= ((v >> p) & 1) << (7 - p);
            reversed[v] = static_cast<uint8_t>(turned);
        }
        // The search leaves sums outside [0, 1] unclamped: the ends must be levels 0 and 255.
        usable = one <= 16384 && encode[0] == 0 && encode[one] == 255;
    }
};

#ifdef PLUGIN_X86_KERNELS
// Byte permutes between 64 pixels of kBpp bytes, in kBpp lines of 64 bytes, and three planes
// of 64 channel levels (blue, green, red).
template <size_t kBpp>
struct PlaneShuffles {
    alignas(64) uint8_t gather[3][64] = {};      // plane k's bytes: from lines 0-1, then 2 (or 2-3)
    uint64_t from_third[3] = {};                 // 24-bit: which of plane k's bytes are in line 2
    alignas(64) uint8_t scatter[kBpp][64] = {};  // line r's bytes: blue or green (+64) ...
    uint64_t red[kBpp] = {};                     // ... or red
    uint64_t colour = 0;                         // the bytes of a line that are not alpha
    PlaneShuffles() {
        for (size_t k = 0; k < 3; ++k) {
            for (size_t i = 0; i < 64; ++i) {
                gather[k][i] = static_cast<uint8_t>((kBpp * i + k) & 127);
                if (kBpp * i + k >= 128) from_third[k] |= uint64_t{1} << i;
            }
        }
        for (size_t r = 0; r < kBpp; ++r) {
            for (size_t j = 0; j < 64; ++j) {
                const size_t pixel = (64 * r + j) / kBpp, k = (64 * r + j) % kBpp;
                scatter[r][j] = static_cast<uint8_t>((k == 1 ? 64 : 0) + pixel);
                if (k == 2) red[r] |= uint64_t{1} << j;
                if (k < 3 && r == 0) colour |= uint64_t{1} << j;
            }
        }
    }
};

#define ZEM_AVX512 PLUGIN_TARGET("avx512f,avx512bw,avx512vbmi")

ZEM_AVX512 inline __m512i Line(const void* p) { return _mm512_loadu_si512(p); }

// Linear sums (units of 2^-14, 32 in a register) to their 8-bit levels, in place. The search
// keeps the bits it has decided reversed (bit 7 of the level at bit 0), so that they are always
// the low bits that index the next step's thresholds and a step only sets one bit; a byte table
// turns the levels round after packing. Sums below 0 or above 1 need no clamping: signed
// compares put them below every threshold but level 0's or above all. The searches of several
// registers go step by step together, which lets the processor overlap their permutes.
template <size_t kCount>
ZEM_AVX512 inline void SearchLevels(const VectorShaper& t, __m512i (&v)[kCount]) {
    __m512i level[kCount];
    const __m512i first = _mm512_set1_epi16(static_cast<int16_t>(t.step[7][0]));
    for (size_t n = 0; n < kCount; ++n) {
        level[n] =
            _mm512_maskz_mov_epi16(_mm512_cmpge_epi16_mask(v[n], first), _mm512_set1_epi16(1));
    }
#pragma GCC unroll 8
    for (int j = 6; j >= 0; --j) {
        const __m512i bit = _mm512_set1_epi16(static_cast<int16_t>(1 << (7 - j)));
        const __m512i a = Line(t.step[j]), b = Line(t.step[j] + 32);
        const __m512i c = Line(t.step[j] + 64), d = Line(t.step[j] + 96);
        for (size_t n = 0; n < kCount; ++n) {
            __m512i at;
            if (j >= 2) {  // up to 32 thresholds: one register
                at = _mm512_permutexvar_epi16(level[n], a);
            } else if (j == 1) {  // 64: two
                at = _mm512_permutex2var_epi16(a, level[n], b);
            } else {  // 128: four
                at =
                    _mm512_mask_blend_epi16(_mm512_test_epi16_mask(level[n], _mm512_set1_epi16(64)),
                                            _mm512_permutex2var_epi16(a, level[n], b),
                                            _mm512_permutex2var_epi16(c, level[n], d));
            }
            level[n] =
                _mm512_mask_add_epi16(level[n], _mm512_cmpge_epi16_mask(v[n], at), level[n], bit);
        }
    }
    for (size_t n = 0; n < kCount; ++n) v[n] = level[n];
}

// 64 pixels' linear sums: output channel o (blue, green, red), half h at sums[2 * o + h].
template <size_t kBpp>
ZEM_AVX512 inline void LinearSums(const VectorShaper& t, const PlaneShuffles<kBpp>& sh,
                                  const uint8_t* p, __m512i* sums) {
    __m512i in[kBpp];
    for (size_t r = 0; r < kBpp; ++r) in[r] = Line(p + 64 * r);
    // Linear light of each channel, its 64 pixels in two registers of 16-bit lanes (the
    // 128-bit lanes of the two interleaved, as the final pack undoes).
    __m512i lin[2][3];
    for (size_t k = 0; k < 3; ++k) {
        const __m512i g = Line(sh.gather[k]);
        const __m512i first = _mm512_permutex2var_epi8(in[0], g, in[1]);
        const __m512i plane =
            kBpp == 3 ? _mm512_mask_permutexvar_epi8(first, sh.from_third[k], g, in[2])
                      : _mm512_mask_blend_epi8(~uint64_t{0} << 32, first,
                                               _mm512_permutex2var_epi8(in[2], g, in[kBpp - 1]));
        const __mmask64 upper = _mm512_movepi8_mask(plane);
        __m512i bytes[2];
        for (size_t b = 0; b < 2; ++b) {
            const uint8_t* c = t.curve[k][b];
            bytes[b] = _mm512_mask_blend_epi8(
                upper, _mm512_permutex2var_epi8(Line(c), plane, Line(c + 64)),
                _mm512_permutex2var_epi8(Line(c + 128), plane, Line(c + 192)));
        }
        lin[0][k] = _mm512_unpacklo_epi8(bytes[0], bytes[1]);
        lin[1][k] = _mm512_unpackhi_epi8(bytes[0], bytes[1]);
    }
    for (size_t o = 0; o < 3; ++o) {
        for (size_t h = 0; h < 2; ++h) {
            __m512i sum = _mm512_mulhrs_epi16(lin[h][0], _mm512_set1_epi16(t.matrix[o][0]));
            sum = _mm512_add_epi16(
                sum, _mm512_mulhrs_epi16(lin[h][1], _mm512_set1_epi16(t.matrix[o][1])));
            sums[2 * o + h] = _mm512_add_epi16(
                sum, _mm512_mulhrs_epi16(lin[h][2], _mm512_set1_epi16(t.matrix[o][2])));
        }
    }
}

// 64 pixels' levels (reversed, as the search leaves them) back into their bytes.
template <size_t kBpp>
ZEM_AVX512 inline void StoreLevels(const VectorShaper& t, const PlaneShuffles<kBpp>& sh,
                                   const __m512i* found, uint8_t* p) {
    __m512i levels[3];
    for (size_t o = 0; o < 3; ++o) {
        const __m512i turned = _mm512_packus_epi16(found[2 * o], found[2 * o + 1]);
        levels[o] = _mm512_mask_blend_epi8(
            _mm512_movepi8_mask(turned),
            _mm512_permutex2var_epi8(Line(t.reversed), turned, Line(t.reversed + 64)),
            _mm512_permutex2var_epi8(Line(t.reversed + 128), turned, Line(t.reversed + 192)));
    }
    for (size_t r = 0; r < kBpp; ++r) {
        const __m512i s = Line(sh.scatter[r]);
        const __m512i out = _mm512_mask_permutexvar_epi8(
            _mm512_permutex2var_epi8(levels[0], s, levels[1]), sh.red[r], s, levels[2]);
        if (kBpp == 3) {
            _mm512_storeu_si512(p + 64 * r, out);
        } else {
            _mm512_mask_storeu_epi8(p + 64 * r, sh.colour, out);
        }
    }
}

// Converts whole runs of 64 pixels, two at a time where it can (their searches overlap);
// returns how many pixels it did.
template <size_t kBpp>
ZEM_AVX512 uint32_t RunAvx512(const VectorShaper& t, uint8_t* p, uint32_t count) {
    static const PlaneShuffles<kBpp> sh;
    uint32_t done = 0;
    for (; count - done >= 128; done += 128, p += 128 * kBpp) {
        __m512i sums[12];
        LinearSums(t, sh, p, sums);
        LinearSums(t, sh, p + 64 * kBpp, sums + 6);
        SearchLevels(t, sums);
        StoreLevels(t, sh, sums, p);
        StoreLevels(t, sh, sums + 6, p + 64 * kBpp);
    }
    if (count - done >= 64) {
        __m512i sums[6];
        LinearSums(t, sh, p, sums);
        SearchLevels(t, sums);
        StoreLevels(t, sh, sums, p);
        done += 64;
    }
    return done;
}
#undef ZEM_AVX512
#endif

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
        double linears[3][256];
        for (int c = 0; c < 3; ++c) {
            const auto* curve = static_cast<const cmsToneCurve*>(cmsReadTag(in, trcs[c]));
            if (!curve) return false;
            for (int v = 0; v < 256; ++v) {
                const double linear =
                    std::min(1.0, std::max(0.0, static_cast<double>(cmsEvalToneCurveFloat(
                                                    curve, static_cast<float>(v) / 255.0f))));
                linears[c][v] = linear;
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
        m_vector.Build(linears, matrix, m_encode + kZero, kOne);
        return true;
    }

    // BGR or BGRA pixels in place; alpha is left alone.
    void Run(uint8_t* p, uint32_t count, size_t bpp, KernelLevel level) const {
#ifdef PLUGIN_X86_KERNELS
        if (level == KernelLevel::Best && m_vector.usable && CpuHasAvx512Vbmi()) {
            const uint32_t done =
                bpp == 3 ? RunAvx512<3>(m_vector, p, count) : RunAvx512<4>(m_vector, p, count);
            p += size_t{done} * bpp, count -= done;
        }
#endif
        (void)level;
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
    VectorShaper m_vector;
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

SrgbConverter::SrgbConverter(KernelLevel level) : m_level(level) {}
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
        m_impl->fast.Run(row, count, bpp, m_level);
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
