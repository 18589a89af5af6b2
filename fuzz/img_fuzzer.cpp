// libFuzzer target over imgsrc's format class: the information read, and the picture read with
// type, frame and scale taken from the input, then the two-handle split of what it gave; plus
// the signature test on the head. Every output byte is read. A picture read of frame 0 at scale
// 1 that succeeds must find the information read agreeing with it (size, bit count, type, frame
// count, densities). Built with ZEM_FUZZ_INFO_ONLY (img_info_fuzzer), the target runs the
// information read alone, so that the header readers get every run; built with
// ZEM_FUZZ_PREVIEW_ONLY (img_preview_fuzzer), the preview read (GetPreview's path: EXIF
// thumbnails, reduced pages and levels, thumbnail resources, reduced decodes) with the type and
// frame chosen as below.
//
// A frame other than 0 is read a second time with the frame cache emptied: composing it from
// the last key frame must give what the first read gave, which may have started from a canvas
// that an earlier input's read left in the cache (animated GIF, WebP and PNG).
//
// The last three input bytes choose, and stay part of the data:
//   size-1  the type to decode as: 0 (detect) in half the inputs, else a code below 36
//   size-2  the frame: 0 to 3 (the preview read also takes the picture options from bits 2, 3)
//   size-3  the JPEG scale: 1 to 9 (low five bits); the picture options asked for, upright and
//           sRGB (bits 5 and 6, as bits 8 and 9 above the type)
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "DibHelpers.h"
#include "FrameCache.h"
#include "GlobalBlock.h"
#include "ImgFile.h"
#include "ImgSignature.h"
#include "PictureMetadata.h"
#include "SPI_BASE.h"

namespace {

volatile uint32_t g_sink;

uint32_t TouchHandle(SpiHandle handle) {
    if (!handle) return 0;
    ScopedLock lock(handle);
    if (!lock) std::abort();
    uint32_t sum = 0;
    const size_t n = platform::MemSize(handle);
    for (size_t i = 0; i < n; ++i) sum = sum * 31u + lock.Data()[i];
    return sum;
}

}  // namespace

int FuzzImg(const uint8_t* data, size_t size) {
    uint8_t head[kHeadSize] = {};
    std::memcpy(head, data, size < kHeadSize ? size : kHeadSize);
    g_sink = ImgSignatureType(head);
    if (size < 4) return 0;
    const uint8_t type_byte = data[size - 1];
    const uint32_t type = (type_byte & 1) ? 0u : static_cast<uint32_t>((type_byte >> 1) % 36);
    const int32_t frame = data[size - 2] & 3;
    const int32_t scale = 1 + (data[size - 3] & 31) % 9;
    const uint32_t options = static_cast<uint32_t>((data[size - 3] >> 5) & 3) << 8;

    ImgFile info;
    info.SetMemorySource(data, size);
    info.SetImageType(type | options);
    const int32_t info_result = info.ReadInfoFromMemory();
    if (info_result == SPI_OK && (info.Width() <= 0 || info.Height() <= 0)) std::abort();
    ImgFile picture;
    picture.SetMemorySource(data, size);
    picture.SetImageType(type | options);
    picture.SetFrameIndex(frame);
    picture.SetJpegScale(scale);
    const int32_t result = picture.ReadPictureFromMemory();
    OwnedHandle dib(picture.TakeResultDib());
    if (result == SPI_OK && frame == 0 && scale == 1 &&
        (info_result != SPI_OK || info.Width() != picture.Width() ||
         info.Height() != picture.Height() || info.BitCount() != picture.BitCount() ||
         info.ImageType() != picture.ImageType() || info.FrameCount() != picture.FrameCount() ||
         info.XDpi() != picture.XDpi() || info.YDpi() != picture.YDpi())) {
        std::abort();  // the header read disagrees with the picture it describes
    }
    if (result == SPI_OK) {
        if (!dib) std::abort();
        g_sink = TouchHandle(dib.Get());
        if (frame != 0) {
            FrameCache::Instance().Clear();
            ImgFile again;
            again.SetMemorySource(data, size);
            again.SetImageType(type);
            again.SetFrameIndex(frame);
            again.SetJpegScale(scale);
            OwnedHandle fresh(again.ReadPictureFromMemory() == SPI_OK ? again.TakeResultDib()
                                                                       : nullptr);
            if (!fresh) std::abort();
            ScopedLock a(dib.Get());
            ScopedLock b(fresh.Get());
            // The blocks' own sizes may exceed the DIBs (the allocator's rounding): the DIBs
            // themselves are compared.
            const int64_t n = DibTotalSize(a.Data());
            if (n <= 0 || DibTotalSize(b.Data()) != n ||
                std::memcmp(a.Data(), b.Data(), static_cast<size_t>(n)) != 0) {
                std::abort();  // the cache changed it
            }
        }
        SpiHandle head_block = nullptr;
        SpiHandle bits_block = nullptr;
        if (SPI_BASE::SplitPackedDib(dib.Release(), &head_block, &bits_block) != SPI_OK) {
            std::abort();  // every DIB the codec layer builds can be split
        }
        g_sink = TouchHandle(head_block) ^ TouchHandle(bits_block);
        platform::MemFree(head_block);
        platform::MemFree(bits_block);
    } else if (dib) {
        std::abort();  // a failed read hands out nothing
    }
    return 0;
}

// The information read alone, with the type from the last byte as above.
int FuzzImgInfo(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t type_byte = data[size - 1];
    ImgFile info;
    info.SetMemorySource(data, size);
    // Bits 2 and 3 of the byte before ask for the picture options, so that the orientation and
    // profile readers run too.
    const uint32_t options = size >= 2 ? static_cast<uint32_t>((data[size - 2] >> 2) & 3) << 8 : 0;
    info.SetImageType(((type_byte & 1) ? 0u : static_cast<uint32_t>((type_byte >> 1) % 36)) |
                      options);
    const int32_t result = info.ReadInfoFromMemory();
    if (result == SPI_OK && (info.Width() <= 0 || info.Height() <= 0 || info.FrameCount() <= 0 ||
                             info.BitCount() <= 0)) {
        std::abort();
    }
    g_sink = static_cast<uint32_t>(info.XDpi() + info.YDpi());
    // zemhost's info reads HEIF's colour property from the bytes itself.
    PictureMetadata meta;
    ReadHeifColours(data, size, meta);
    g_sink += static_cast<uint32_t>(meta.icc.size());
    return 0;
}

// The preview read: a DIB that can be split when it succeeds (a picture of the file's own,
// sized as the preview rules allow), nothing when it does not. -1 is the answer of a file
// without a preview.
int FuzzImgPreview(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint8_t type_byte = data[size - 1];
    ImgFile preview;
    preview.SetMemorySource(data, size);
    // Bits 2 and 3 of the frame byte ask for the picture options (upright, sRGB).
    preview.SetImageType(((type_byte & 1) ? 0u : static_cast<uint32_t>((type_byte >> 1) % 36)) |
                         static_cast<uint32_t>((data[size - 2] >> 2) & 3) << 8);
    preview.SetFrameIndex(data[size - 2] & 3);
    preview.SetPreview(true);
    const int32_t result = preview.ReadPictureFromMemory();
    OwnedHandle dib(preview.TakeResultDib());
    if (result != SPI_OK) {
        if (dib) std::abort();  // a failed read hands out nothing
        return 0;
    }
    if (!dib || preview.Width() <= 0 || preview.Height() <= 0) std::abort();
    SpiHandle head_block = nullptr;
    SpiHandle bits_block = nullptr;
    if (SPI_BASE::SplitPackedDib(dib.Release(), &head_block, &bits_block) != SPI_OK) std::abort();
    g_sink = TouchHandle(head_block) ^ TouchHandle(bits_block);
    platform::MemFree(head_block);
    platform::MemFree(bits_block);
    return 0;
}

#ifndef ZEM_FUZZ_NO_ENTRY
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
#ifdef ZEM_FUZZ_INFO_ONLY
    return FuzzImgInfo(data, size);
#elif defined(ZEM_FUZZ_PREVIEW_ONLY)
    return FuzzImgPreview(data, size);
#else
    return FuzzImg(data, size);
#endif
}
#endif
