// libFuzzer target over BmpFile: the picture read, the info read, the writer to memory (and a
// read of what it wrote) and the two-handle split, all on the same input.
//
// Options come from the last input byte, which stays part of the data:
//   bit 0  split the picture into a header block and a bits block
//   bit 1  write the picture as a BMP file image and read that image back
//   bit 2  give the writer an output buffer that is already longer than it needs
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "BmpFile.h"
#include "ByteReader.h"
#include "DibHelpers.h"
#include "GlobalBlock.h"
#include "SPI_BASE.h"

namespace {

// Decoded RLE bitmaps above 4096 x 4096 pixels or 16 MiB only slow the search down; their
// bounds are unit-tested.
constexpr uint64_t kMaxFuzzDimension = 4096;
constexpr uint64_t kMaxFuzzRleBytes = uint64_t{16} << 20;

volatile uint32_t g_sink;

// Reads every byte, so that uninitialised or unmapped output cannot go unnoticed.
uint32_t Touch(const uint8_t* p, size_t n) {
    uint32_t sum = 0;
    for (size_t i = 0; i < n; ++i) sum = sum * 31u + p[i];
    return sum;
}

uint32_t TouchHandle(SpiHandle handle) {
    if (!handle) return 0;
    ScopedLock lock(handle);
    if (!lock) std::abort();
    return Touch(lock.Data(), platform::MemSize(handle));
}

bool IsRle(const uint8_t* dib, size_t size) {
    DibMeasures m;
    return MeasureDib(dib, size, m) && m.IsInfoType() &&
           (m.compression == BI_RLE8 || m.compression == BI_RLE4);
}

bool SkipInput(const uint8_t* data, size_t size) {
    const uint8_t* header = data;
    if (size >= kFileHeaderSize && data[0] == 'B' && data[1] == 'M') {
        header += kFileHeaderSize;
        size -= kFileHeaderSize;
    }
    DibMeasures m;
    return IsRle(header, size) && MeasureDib(header, size, m) &&
           (static_cast<uint64_t>(m.width) > kMaxFuzzDimension ||
            m.abs_height > kMaxFuzzDimension || m.uncompressed_image_size > kMaxFuzzRleBytes);
}

void CheckInfoRead(const uint8_t* data, size_t size) {
    BmpFile file;
    file.SetMemorySource(data, size);
    const int32_t result = file.ReadInfoFromMemory();
    if (result != SPI_OK && result != SPI_FILE_READ_ERROR) std::abort();
    // A failed info read reports a zero record.
    if (result != SPI_OK && (file.Width() || file.Height() || file.BitCount())) std::abort();
    g_sink = g_sink + static_cast<uint32_t>(file.Width() ^ file.Height() ^ file.BitCount());
}

// Writes `dib` as a BMP file image and reads it back; a DIB that is not RLE comes back with the
// same bitmap bytes.
void CheckWriter(SpiHandle dib, bool long_buffer) {
    const size_t block_size = platform::MemSize(dib);
    BmpFile writer;
    if (long_buffer) {
        const std::vector<uint8_t> junk(block_size + 100, 0xA5);
        writer.OutputBuffer().WriteAt(junk.data(), static_cast<int32_t>(junk.size()), 0);
    }
    writer.SetResultDib(dib);
    const int32_t result = writer.WritePictureToMemory();
    writer.TakeResultDib();
    if (result != SPI_OK) std::abort();  // the DIB was measured when it was read

    ScopedLock lock(dib);
    DibMeasures m;
    if (!MeasureDib(lock.Data(), block_size, m)) std::abort();
    const uint8_t* image = writer.OutputBuffer().Data();
    const auto image_size = static_cast<size_t>(writer.OutputBuffer().Size());
    const size_t file_size = static_cast<size_t>(m.total_size) + kFileHeaderSize;
    if (image_size < file_size || image[0] != 'B' || image[1] != 'M') std::abort();
    if (ByteReader::LoadU32LE(image + 2) != file_size) std::abort();
    if (std::memcmp(image + kFileHeaderSize, lock.Data(), m.total_size) != 0) std::abort();
    g_sink = g_sink + Touch(image, image_size);

    BmpFile reader;
    reader.SetMemorySource(image, file_size);
    const int32_t reread = reader.ReadPictureFromMemory();
    OwnedHandle again(reader.TakeResultDib());
    if (reread != SPI_OK || !again) std::abort();
    if (!IsRle(lock.Data(), block_size)) {
        ScopedLock back(again.Get());
        if (platform::MemSize(again.Get()) < m.total_size ||
            std::memcmp(back.Data(), lock.Data(), m.total_size) != 0) {
            std::abort();
        }
    }
    g_sink = g_sink + TouchHandle(again.Get());
}

void CheckSplit(SpiHandle dib) {
    const size_t block_size = platform::MemSize(dib);
    std::vector<uint8_t> whole(block_size);
    {
        ScopedLock lock(dib);
        std::memcpy(whole.data(), lock.Data(), block_size);
    }
    SpiHandle info = nullptr;
    SpiHandle bits = nullptr;
    const int32_t result = SPI_BASE::SplitPackedDib(dib, &info, &bits);
    OwnedHandle info_owner(info);
    OwnedHandle bits_owner(bits);
    if (result != SPI_OK) {
        if (info || bits) std::abort();
        return;
    }
    if (!info || !bits) std::abort();
    DibMeasures m;
    if (!MeasureDib(whole.data(), whole.size(), m)) std::abort();
    ScopedLock head(info);
    ScopedLock rest(bits);
    const auto head_size = static_cast<size_t>(m.HeaderPartSize());
    if (platform::MemSize(info) < head_size || platform::MemSize(bits) < block_size - head_size ||
        std::memcmp(head.Data(), whole.data(), head_size) != 0 ||
        std::memcmp(rest.Data(), whole.data() + head_size, block_size - head_size) != 0) {
        std::abort();
    }
    g_sink = g_sink + TouchHandle(info) + TouchHandle(bits);
}

}  // namespace

int FuzzBmp(const uint8_t* data, size_t size) {
    if (size == 0 || SkipInput(data, size)) return 0;
    const uint8_t options = data[size - 1];
    CheckInfoRead(data, size);

    BmpFile file;
    file.SetMemorySource(data, size);
    const int32_t result = file.ReadPictureFromMemory();
    OwnedHandle dib(file.TakeResultDib());
    if (result != SPI_OK) {
        if (result != SPI_FILE_READ_ERROR && result != SPI_OUT_OF_MEMORY) std::abort();
        if (dib) std::abort();
        return 0;
    }
    if (!dib) std::abort();
    // Every DIB handed out measures within its own block.
    {
        ScopedLock lock(dib.Get());
        DibMeasures m;
        const size_t block_size = platform::MemSize(dib.Get());
        if (!MeasureDib(lock.Data(), block_size, m) || m.total_size > block_size) std::abort();
    }
    g_sink = g_sink + TouchHandle(dib.Get());
    if (options & 2) CheckWriter(dib.Get(), (options & 4) != 0);
    if (options & 1) CheckSplit(dib.Release());
    return 0;
}

#ifndef ZEM_FUZZ_NO_ENTRY
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return FuzzBmp(data, size);
}
#endif
