#include "ColourManage.h"

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
    Transform t(cmsCreateTransformTHR(Context(), in, TYPE_GRAY_8, srgb, TYPE_BGR_8,
                                      INTENT_PERCEPTUAL, 0));
    if (!t.h) return false;
    uint8_t levels[256];
    for (int i = 0; i < 256; ++i) levels[i] = static_cast<uint8_t>(i);
    cmsDoTransform(t.h, levels, table, 256);
    return true;
}

}  // namespace
#endif

bool ColourManagementAvailable() {
#ifdef ZEM_CODEC_LCMS2
    return true;
#else
    return false;
#endif
}

CodecStatus ConvertToSrgb(DibCanvas& canvas, const uint8_t* icc, size_t size) {
#ifdef ZEM_CODEC_LCMS2
    if (!canvas.IsCreated() || !icc || size < 132 || size > 0xFFFFFFFFu) {
        return CodecStatus::Broken;
    }
    Profile in(cmsOpenProfileFromMemTHR(Context(), icc, static_cast<cmsUInt32Number>(size)));
    if (!in.h) return CodecStatus::Broken;
    Profile srgb(cmsCreate_sRGBProfileTHR(Context()));
    if (!srgb.h) return CodecStatus::NoMemory;
    const cmsColorSpaceSignature space = cmsGetColorSpace(in.h);
    const uint16_t bits = canvas.BitCount();
    const uint32_t w = canvas.Width(), h = canvas.Height();
    if (space == cmsSigGrayData) {
        // Grey pictures come as indexed grey or as BGR(A) with equal channels; a table serves.
        uint8_t table[256][3];
        if (!GreyTable(in.h, srgb.h, table)) return CodecStatus::Unsupported;
        if (bits <= 8) {
            RgbQuad* palette = canvas.Palette();
            for (uint32_t i = 0; i < (1u << bits); ++i) {
                const uint8_t* c = table[palette[i].green];
                palette[i].blue = c[0], palette[i].green = c[1], palette[i].red = c[2];
            }
            return CodecStatus::Ok;
        }
        const size_t bpp = bits / 8u;
        for (uint32_t y = 0; y < h; ++y) {
            uint8_t* p = canvas.Row(y);
            for (uint32_t x = 0; x < w; ++x, p += bpp) {
                const uint8_t* c = table[p[1]];
                p[0] = c[0], p[1] = c[1], p[2] = c[2];
            }
        }
        return CodecStatus::Ok;
    }
    if (space != cmsSigRgbData) return CodecStatus::Unsupported;
    if (bits <= 8) {
        Transform t(cmsCreateTransformTHR(Context(), in.h, TYPE_BGRA_8, srgb.h, TYPE_BGRA_8,
                                          INTENT_PERCEPTUAL, cmsFLAGS_COPY_ALPHA));
        if (!t.h) return CodecStatus::Unsupported;
        RgbQuad* palette = canvas.Palette();
        cmsDoTransform(t.h, palette, palette, 1u << bits);
        return CodecStatus::Ok;
    }
    const cmsUInt32Number format = bits == 32 ? TYPE_BGRA_8 : TYPE_BGR_8;
    Transform t(cmsCreateTransformTHR(Context(), in.h, format, srgb.h, format, INTENT_PERCEPTUAL,
                                      bits == 32 ? cmsFLAGS_COPY_ALPHA : 0));
    if (!t.h) return CodecStatus::Unsupported;
    for (uint32_t y = 0; y < h; ++y) cmsDoTransform(t.h, canvas.Row(y), canvas.Row(y), w);
    return CodecStatus::Ok;
#else
    (void)canvas, (void)icc, (void)size;
    return CodecStatus::Unsupported;
#endif
}

bool ProfileConvertible(const uint8_t* icc, size_t size) {
#ifdef ZEM_CODEC_LCMS2
    if (!icc || size < 132 || size > 0xFFFFFFFFu) return false;
    Profile in(cmsOpenProfileFromMemTHR(Context(), icc, static_cast<cmsUInt32Number>(size)));
    if (!in.h) return false;
    Profile srgb(cmsCreate_sRGBProfileTHR(Context()));
    const cmsColorSpaceSignature space = cmsGetColorSpace(in.h);
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
