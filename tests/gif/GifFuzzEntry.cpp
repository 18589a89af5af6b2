#include "GifFuzzEntry.h"

#include <memory>

#include "GifFile.h"
#include "GifReference.h"
#include "GifTestEncoder.h"
#include "platform/platform.h"

namespace giftest {

namespace {

// Pictures above 2048 x 2048 pixels are refused (4) so that each input runs quickly; those up
// to 256 x 256 are compared with the literal reader.
constexpr uint64_t kFuzzMaxPixels = uint64_t{2048} * 2048;
constexpr uint64_t kCompareMaxPixels = uint64_t{1} << 16;

}  // namespace

DecodedRows DecodeLzwIntoRows(const std::vector<uint8_t>& data, int width, int height,
                              bool interlaced, Rows rows, bool walk_only) {
    const size_t w = static_cast<size_t>(width);
    const size_t h = static_cast<size_t>(height);
    const size_t pitch = rows == Rows::Packed ? w : w + 3;
    std::vector<uint8_t> memory(pitch * h + 1, 0);
    GifRowLayout layout;
    layout.width = static_cast<uint32_t>(width);
    layout.height = static_cast<uint32_t>(height);
    layout.interlaced = interlaced;
    layout.pitch = static_cast<ptrdiff_t>(pitch);
    layout.base = memory.data();
    if (rows == Rows::BottomUp && h > 0) {
        layout.base = memory.data() + (h - 1) * pitch;
        layout.pitch = -layout.pitch;
    }
    GifPixelPlacer placer;
    placer.Start(layout);
    auto decoder = std::make_unique<GifLzwDecoder>();
    if (walk_only) decoder->SetLocateLimit(0);
    size_t pos = 1;
    DecodedRows out;
    out.result = decoder->Decode(data.data(), data.size(), pos, data[0], placer);
    for (size_t y = 0; y < h; ++y) {
        const uint8_t* row = layout.base + static_cast<ptrdiff_t>(y) * layout.pitch;
        out.indices.insert(out.indices.end(), row, row + w);
        for (size_t x = w; x < pitch; ++x) out.padding_untouched &= memory[y * pitch + x] == 0;
    }
    out.padding_untouched &= memory.back() == 0;
    return out;
}

std::string FuzzGif(const uint8_t* data, size_t size) {
    const uint8_t option = size ? data[size - 1] : 0;
    const int32_t index = option == 0xFF ? -1 : option % 4;

    GifFile file;
    file.SetImageIndex(index);
    file.SetMaxPixels(kFuzzMaxPixels);
    file.SetMemorySource(data, size);
    const int32_t result = file.ReadPictureFromMemory();
    const SpiHandle dib = file.TakeResultDib();
    std::string problem;
    if (result < 0 || result > 4) problem = "result out of range";
    if ((result == 0) != (dib != nullptr)) problem = "a DIB exactly when the read succeeds";
    const uint64_t pixels =
        static_cast<uint64_t>(file.ImageWidth()) * static_cast<uint64_t>(file.ImageHeight());
    const bool compare = problem.empty() && pixels <= kCompareMaxPixels;
    std::vector<uint8_t> bytes;
    if (dib) {
        // Every byte is read, so that a sanitizer sees any that was never written.
        const auto* p = static_cast<const uint8_t*>(platform::MemLock(dib));
        const size_t n = platform::MemSize(dib);
        unsigned sum = 0;
        for (size_t i = 0; i < n; ++i) sum += p[i];
        if (sum == 0xFFFFFFFFu) problem = "unreachable";
        if (compare) bytes.assign(p, p + n);
        platform::MemUnlock(dib);
        platform::MemFree(dib);
    }
    if (compare) {
        const ReferencePicture ref =
            ReferenceDecodePicture(data, size, index, kFuzzMaxPixels, true);
        if (ref.result != result) {
            problem = "result " + std::to_string(result) + ", literal reader " +
                      std::to_string(ref.result);
        } else if (result == 0 && (bytes.size() < ref.dib.size() ||
                                   !std::equal(ref.dib.begin(), ref.dib.end(), bytes.begin()))) {
            problem = "DIB differs from the literal reader's";
        }
    }

    GifFile info;
    info.SetMemorySource(data, size);
    const int32_t info_result = info.ReadInfoFromMemory();
    if (info_result != 0 && info_result != -6 && info_result != 4) problem = "info result";
    if (SpiHandle comment = info.InfoBlock().Detach()) {
        const auto* p = static_cast<const uint8_t*>(platform::MemLock(comment));
        unsigned sum = 0;
        for (size_t i = 0; i < platform::MemSize(comment); ++i) sum += p[i];
        if (sum == 0xFFFFFFFFu) problem = "unreachable";  // keeps the reads
        platform::MemUnlock(comment);
        platform::MemFree(comment);
    }
    return problem;
}

std::string FuzzGifLzw(const uint8_t* data, size_t size) {
    if (size < 4) return {};
    const int width = data[size - 3] % 64;
    const bool walk_only = (data[size - 3] & 0x80) != 0;
    const int height = data[size - 2] % 64;
    const uint8_t flags = data[size - 1];
    const bool interlaced = (flags & 4) != 0;
    const auto rows = static_cast<Rows>((flags & 3) % 3);
    std::vector<uint8_t> stream{static_cast<uint8_t>(data[0] % 12)};
    std::vector<uint8_t> body(data + 1, data + size - 3);
    if ((flags & 8) != 0) body = SubBlocks(body, 1 + (flags >> 4) * 17u, (flags & 0x80) == 0);
    stream.insert(stream.end(), body.begin(), body.end());

    const DecodedRows got = DecodeLzwIntoRows(stream, width, height, interlaced, rows, walk_only);
    if (!got.padding_untouched) return "wrote outside the rows";
    std::vector<uint8_t> expected(static_cast<size_t>(width) * static_cast<size_t>(height), 0);
    const int ref = ReferenceDecodeImageData(stream.data(), stream.size(), 0, width, height,
                                             interlaced, expected, true);
    if (got.indices != expected) return "indices differ from the literal decoder's";
    if (got.result == GifLzwResult::EndCode && ref != 0) return "end code not seen by literal";
    if (got.result == GifLzwResult::DataEnded && ref != 2) return "data end not seen by literal";
    return {};
}

}  // namespace giftest
