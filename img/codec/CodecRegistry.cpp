// The back ends of this build in detection order. Each is compiled in when its library is
// found (ZEM_CODEC_<NAME>, set by its build fragment); formats that carry a signature come before
// those recognised by header checks alone, camera RAW before TIFF, TGA last.
#include "CodecBackend.h"
#include "CodecBackends.h"

const CodecBackend* const* CodecBackends(size_t& count) {
    static const CodecBackend* const kBackends[] = {
#ifdef ZEM_CODEC_BMP
        &BmpBackend(),
#endif
#ifdef ZEM_CODEC_GIF
        &GifBackend(),
#endif
#ifdef ZEM_CODEC_JPEG
        &JpegBackend(),
#endif
#ifdef ZEM_CODEC_PNG
        &PngBackend(),
#endif
#ifdef ZEM_CODEC_RAW
        &RawBackend(),
#endif
#ifdef ZEM_CODEC_TIFF
        &TiffBackend(),
#endif
#ifdef ZEM_CODEC_JP2
        &Jp2Backend(),
#endif
#ifdef ZEM_CODEC_PSD
        &PsdBackend(),
#endif
#ifdef ZEM_CODEC_WEBP
        &WebpBackend(),
#endif
#ifdef ZEM_CODEC_HEIF
        &HeifBackend(),
#endif
#ifdef ZEM_CODEC_JXL
        &JxlBackend(),
#endif
#ifdef ZEM_CODEC_QOI
        &QoiBackend(),
#endif
#ifdef ZEM_CODEC_DDS
        &DdsBackend(),
#endif
#ifdef ZEM_CODEC_ICNS
        &IcnsBackend(),
#endif
#ifdef ZEM_CODEC_ICO
        &IcoBackend(),
#endif
#ifdef ZEM_CODEC_PNM
        &PnmBackend(),
#endif
#ifdef ZEM_CODEC_PCX
        &PcxBackend(),
#endif
#ifdef ZEM_CODEC_SGI
        &SgiBackend(),
#endif
#ifdef ZEM_CODEC_XPM
        &XpmBackend(),
#endif
#ifdef ZEM_CODEC_XBM
        &XbmBackend(),
#endif
#ifdef ZEM_CODEC_WBMP
        &WbmpBackend(),
#endif
#ifdef ZEM_CODEC_RAS
        &SunRasterBackend(),
#endif
#ifdef ZEM_CODEC_HDR
        &HdrBackend(),
#endif
#ifdef ZEM_CODEC_PFM
        &PfmBackend(),
#endif
#ifdef ZEM_CODEC_WIC
        &WicBackend(),
#endif
#ifdef ZEM_CODEC_TGA
        &TgaBackend(),
#endif
        nullptr,
    };
    count = sizeof kBackends / sizeof kBackends[0] - 1;
    return kBackends;
}
