#include "SPI_IMG.h"

#include <cstddef>
#include <cstring>
#include <string>

#include "ByteReader.h"
#include "CodecTypes.h"
#include "ImgFile.h"
#include "ImgSignature.h"
#include "PatternMatch.h"
#include "platform/platform.h"

namespace {

const PluginInfoTable kInfo = {{"00IN", "Multi-format image plug-in", "*.*", "All Image"}};

SPI_IMG g_plugin;

}  // namespace

SPI_BASE& ThePlugin() { return g_plugin; }

SPI_IMG::SPI_IMG() {
    m_formatTable[kTypeBmp] = {"*.BMP", "BMP"};
    m_formatTable[kTypeGif] = {"*.GIF", "GIF"};
    m_formatTable[kTypeJpeg] = {"*.JPG;*.JPE;*.JPEG;*.MPO", "JPEG"};
    m_formatTable[kTypePng] = {"*.PNG", "PNG"};
    m_formatTable[kTypeIco] = {"*.ICO;*.CUR", "ICO"};
    m_formatTable[kTypeTiff] = {"*.TIF;*.TIFF", "TIFF"};
    m_formatTable[kTypeTga] = {"*.TGA", "TGA"};
    m_formatTable[kTypeJp2] = {"*.JP2", "JPEG2000"};
    m_formatTable[kTypeJ2k] = {"*.J2K;*.J2C;*.JPC", "JPEG2000 codestream"};
    m_formatTable[kTypePnm] = {"*.PNM;*.PBM;*.PGM;*.PPM;*.PAM", "PNM"};
    m_formatTable[kTypeRaw] = {
        "*.RAW;*.DNG;*.CR2;*.CR3;*.NEF;*.NRW;*.ARW;*.SR2;*.ORF;*.RW2;*.RAF;*.PEF;*.SRW;*.X3F;"
        "*.3FR;*.ERF;*.KDC;*.MRW;*.IIQ",
        "RAW"};
    m_formatTable[kTypePsd] = {"*.PSD", "PSD"};
    m_formatTable[kTypeWebp] = {"*.WEBP", "WebP"};
    m_formatTable[kTypeHeif] = {"*.HEIC;*.HEIF", "HEIF"};
    m_formatTable[kTypeAvif] = {"*.AVIF", "AVIF"};
    m_formatTable[kTypeJxl] = {"*.JXL", "JPEG XL"};
    m_formatTable[kTypeQoi] = {"*.QOI", "QOI"};
    m_formatTable[kTypeDds] = {"*.DDS", "DDS"};
    m_formatTable[kTypeIcns] = {"*.ICNS", "ICNS"};
    m_formatTable[kTypePcx] = {"*.PCX;*.DCX", "PCX"};
    m_formatTable[kTypeSgi] = {"*.SGI;*.RGB;*.RGBA;*.BW", "SGI"};
    m_formatTable[kTypeXpm] = {"*.XPM", "XPM"};
    m_formatTable[kTypeXbm] = {"*.XBM", "XBM"};
    m_formatTable[kTypeWbmp] = {"*.WBMP", "WBMP"};
    m_formatTable[kTypeSunRaster] = {"*.RAS;*.SUN", "Sun raster"};
    m_formatTable[kTypeHdr] = {"*.HDR", "Radiance HDR"};
    m_formatTable[kTypePfm] = {"*.PFM", "PFM"};
}

int32_t SPI_IMG::GetPluginInfo(int32_t index, char* buffer, int32_t length) {
    return CopyPluginInfo(kInfo, index, buffer, length);
}


// The head's signature first; then the name against each format's patterns, in type order.
// The name test runs in both forms of the call, so a file that cannot be opened can still be
// accepted by its name.
int32_t SPI_IMG::IsSupported(const char* file_name, SpiHeadWord head_or_handle) {
    const Head head(file_name, head_or_handle);
    if (const uint32_t type = ImgSignatureType(head.Data())) return static_cast<int32_t>(type);
    if (!file_name) return 0;
    const std::wstring name = platform::AnsiToWide(file_name);
    for (int i = 0; i < kFormatSlots; ++i) {
        if (!m_formatTable[i].patterns) continue;
        const std::wstring list = platform::AnsiToWide(m_formatTable[i].patterns);
        if (MatchPatternList(name.c_str(), list.c_str(), L';')) return i;
    }
    return 0;
}

int32_t SPI_IMG::GetPictureInfo(const char* buffer, SpiLength length, uint32_t flag,
                                PictureInfoRecord* info) {
    if (!info) return SPI_NOT_IMPLEMENTED;
    ImgFile file;
    const auto* record = reinterpret_cast<uint8_t*>(info);
    file.SetImageType(ByteReader::LoadU32LE(record + offsetof(PictureInfoRecord, imageType)));
    const int32_t result =
        RunGetPictureInfo(file, buffer, length, flag, info, InfoHandle::Untouched);
    auto* out = reinterpret_cast<uint8_t*>(info);
    ByteReader::StoreU32LE(out + offsetof(PictureInfoRecord, imageType), file.ImageType());
    ByteReader::StoreU32LE(out + offsetof(PictureInfoRecord, frameCount),
                           static_cast<uint32_t>(file.FrameCount()));
    ByteReader::StoreU16LE(out + offsetof(PictureInfoRecord, xDensity),
                           static_cast<uint16_t>(file.XDpi()));
    ByteReader::StoreU16LE(out + offsetof(PictureInfoRecord, yDensity),
                           static_cast<uint16_t>(file.YDpi()));
    return result;
}

int32_t SPI_IMG::GetPicture(const char* buffer, SpiLength length, uint32_t flag,
                            SpiHandle* info_slot, SpiHandle* bits_slot, ProgressCallback,
                            SpiUserData user_data) {
    return Read(buffer, length, flag, info_slot, bits_slot, user_data, false);
}

// The file's own small picture for a thumbnail, with GetPicture's arguments, handle forms and
// request block; -1 when the file holds none.
int32_t SPI_IMG::GetPreview(const char* buffer, SpiLength length, uint32_t flag,
                            SpiHandle* info_slot, SpiHandle* bits_slot, ProgressCallback,
                            SpiUserData user_data) {
    return Read(buffer, length, flag, info_slot, bits_slot, user_data, true);
}

int32_t SPI_IMG::Read(const char* buffer, SpiLength length, uint32_t flag, SpiHandle* info_slot,
                      SpiHandle* bits_slot, SpiUserData user_data, bool preview) {
    if (!info_slot) return SPI_BROKEN_DATA;
    const bool split = PrepareSlots(info_slot, bits_slot);
    ImgFile file;
    file.SetPreview(preview);
    const PictureRequestBlock* block = RequestBlock(user_data);
    if (block) {
        const auto* b = reinterpret_cast<const uint8_t*>(block);
        file.SetJpegScale(ByteReader::LoadI32LE(b + offsetof(PictureRequestBlock, field44)));
        file.SetFrameIndex(ByteReader::LoadI32LE(b + offsetof(PictureRequestBlock, field48)));
        file.SetImageType(ByteReader::LoadU32LE(b + offsetof(PictureRequestBlock, field56)));
    }
    int32_t result = SPI_BROKEN_DATA;
    const uint32_t kind = flag & SPI_SRC_MASK;
    if (kind == SPI_SRC_FILE || kind == SPI_SRC_MEMORY) {
        result = RunGetPicture(file, buffer, length, flag, info_slot, bits_slot, split);
    }
    if (block) {
        auto* b = reinterpret_cast<uint8_t*>(user_data);
        ByteReader::StoreU32LE(b + offsetof(PictureRequestBlock, field56), file.ImageType());
    }
    return result;
}
