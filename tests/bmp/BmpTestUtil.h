// Calling bmpsrc the way a host does, and reading what comes back.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "BmpBuilder.h"
#include "TestSupport.h"
#include "platform/platform.h"
#include "plugin_abi.h"

namespace bmp_test {

// What one GetPicture call handed back: the result code and a copy of each block.
struct Picture {
    int32_t result = SPI_NOT_IMPLEMENTED;
    bool info_null = true;
    bool bits_null = true;
    Bytes info;  // the whole packed DIB in the one-handle form
    Bytes bits;
};

enum class Form { OneHandle, TwoHandles };

// Keeps the loaded module for the whole test program, as a viewer keeps its plug-ins.
inline const PluginModule& Bmpsrc() {
    static testing_support::LoadedPlugin* plugin = new testing_support::LoadedPlugin("bmpsrc");
    EXPECT_TRUE(plugin->ok) << plugin->error;
    return plugin->module;
}

// Blocks are copied up to this length: damaged headers can make RLE bitmaps of up to 1 GB,
// whose zero pages would only slow the tests down if they were all read.
constexpr size_t kMaxCopiedBytes = size_t{4} << 20;

inline Bytes BlockBytes(SpiHandle handle) {
    if (!handle) return {};
    const size_t n = std::min(platform::MemSize(handle), kMaxCopiedBytes);
    const auto* p = static_cast<const uint8_t*>(platform::MemLock(handle));
    Bytes bytes(p, p + n);
    platform::MemUnlock(handle);
    return bytes;
}

inline Picture Collect(int32_t result, SpiHandle info, SpiHandle bits) {
    Picture p;
    p.result = result;
    p.info_null = info == nullptr;
    p.bits_null = bits == nullptr;
    p.info = BlockBytes(info);
    p.bits = BlockBytes(bits);
    testing_support::FreeHandle(info);
    testing_support::FreeHandle(bits);
    return p;
}

inline SpiHandle* BitsSlot(Form form, SpiHandle& bits) {
    bits = form == Form::OneHandle
               ? reinterpret_cast<SpiHandle>(static_cast<intptr_t>(SPI_PACKED_DIB_MARKER))
               : reinterpret_cast<SpiHandle>(static_cast<intptr_t>(0x1234));
    return &bits;
}

// GetPicture over the first `n` bytes of `data`, passed as an exact-size heap copy.
inline Picture PictureFromMemory(const Bytes& data, size_t n, Form form = Form::OneHandle) {
    const HeapBytes copy(data, n);
    SpiHandle info = nullptr;
    SpiHandle bits;
    SpiHandle* bits_slot = BitsSlot(form, bits);
    const int32_t result = Bmpsrc().GetPicture(copy.chars(), static_cast<SpiLength>(n),
                                               SPI_SRC_MEMORY, &info, bits_slot, nullptr, 0);
    return Collect(result, info, bits);
}

inline Picture PictureFromMemory(const Bytes& data, Form form = Form::OneHandle) {
    return PictureFromMemory(data, data.size(), form);
}

inline Picture PictureFromFile(const std::string& path, SpiLength offset,
                               Form form = Form::OneHandle) {
    SpiHandle info = nullptr;
    SpiHandle bits;
    SpiHandle* bits_slot = BitsSlot(form, bits);
    const int32_t result =
        Bmpsrc().GetPicture(path.c_str(), offset, SPI_SRC_FILE, &info, bits_slot, nullptr, 0);
    return Collect(result, info, bits);
}

// GetPictureInfo over an exact-size heap copy; the record starts filled with 0x5A.
inline int32_t InfoFromMemory(const Bytes& data, size_t n, PictureInfoRecord& record) {
    const HeapBytes copy(data, n);
    std::memset(&record, 0x5A, sizeof record);
    return Bmpsrc().GetPictureInfo(copy.chars(), static_cast<SpiLength>(n), SPI_SRC_MEMORY,
                                   &record);
}

inline int32_t InfoFromFile(const std::string& path, SpiLength offset, PictureInfoRecord& record) {
    std::memset(&record, 0x5A, sizeof record);
    return Bmpsrc().GetPictureInfo(path.c_str(), offset, SPI_SRC_FILE, &record);
}

// The first `n` bytes of a block (blocks may be longer than asked for).
inline Bytes Prefix(const Bytes& b, size_t n) {
    return Bytes(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(std::min(n, b.size())));
}

// The packed DIB inside a BMP file image (or the bare DIB itself).
inline Bytes DibOf(const Bytes& bmp) {
    const bool file = bmp.size() >= 2 && bmp[0] == 'B' && bmp[1] == 'M';
    return Bytes(bmp.begin() + (file ? 14 : 0), bmp.end());
}

// Where the two-handle form cuts a packed DIB: header, colour table (3-byte entries for core
// headers) and, for BI_BITFIELDS, three masks.
inline size_t HeaderPartSize(const Bytes& dib) {
    const uint32_t header_size = GetU32(dib.data());
    if (header_size == 12) {
        const uint32_t bits = dib[10];
        return 12 + 3 * (bits <= 8 ? size_t{1} << bits : 0);
    }
    const uint32_t bits = static_cast<uint32_t>(dib[14] | (dib[15] << 8));
    const uint32_t compression = GetU32(dib.data() + 16);
    const uint32_t clr_used = GetU32(dib.data() + 32);
    const size_t colours =
        clr_used ? clr_used : (bits == 1 || bits == 4 || bits == 8 ? size_t{1} << bits : 0);
    return header_size + 4 * colours + (compression == 3 ? 12 : 0);
}

// Checks that a two-handle result is `dib` cut at `split_at`.
inline void ExpectSplit(const Picture& two, const Bytes& dib, size_t split_at) {
    ASSERT_EQ(two.result, SPI_OK);
    ASSERT_FALSE(two.info_null);
    ASSERT_FALSE(two.bits_null);
    ASSERT_GE(two.info.size(), split_at);  // blocks may be longer than asked for
    EXPECT_EQ(Prefix(two.info, split_at), Prefix(dib, split_at));
    const Bytes rest(dib.begin() + static_cast<std::ptrdiff_t>(split_at), dib.end());
    EXPECT_EQ(Prefix(two.bits, rest.size()), rest);
}

// A temporary folder removed at the end of the test.
class TempDir {
public:
    TempDir() : m_path(testing_support::MakeTempDir()) {}
    ~TempDir() { testing_support::RemoveTree(m_path); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string File(const std::string& name) const { return m_path + "/" + name; }
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

// The same bitmap as a bare packed DIB, without the file header.
inline BmpSpec Bare(BmpSpec s) {
    s.file_header = false;
    return s;
}

// Handy bitmaps shared by the suites.
inline BmpSpec Rgb24Spec(int32_t width = 3, int32_t height = 2) {
    BmpSpec s;
    s.width = width;
    s.height = height;
    s.bit_count = 24;
    const int32_t rows = height < 0 ? -height : height;
    s.bits = PackRows(width, rows, 24, [](int x, int y) {
        return static_cast<uint32_t>(x * 0x401020 + y * 0x102030 + 0x010203);
    });
    return s;
}

inline BmpSpec Pal8Spec(int32_t width = 5, int32_t height = 4, uint32_t colours = 16) {
    BmpSpec s;
    s.width = width;
    s.height = height;
    s.bit_count = 8;
    s.clr_used = colours;
    s.palette = TestPalette(colours);
    const int32_t rows = height < 0 ? -height : height;
    s.bits = PackRows(width, rows, 8, [colours](int x, int y) {
        return static_cast<uint32_t>((x + 3 * y) % static_cast<int>(colours));
    });
    return s;
}

inline BmpSpec CoreSpec() {
    BmpSpec s;
    s.header_size = 12;
    s.width = 5;
    s.height = 3;
    s.bit_count = 8;
    s.palette = TestPalette(256);
    s.bits = PackRows(5, 3, 8, [](int x, int y) { return static_cast<uint32_t>(x * 40 + y); });
    return s;
}

inline BmpSpec Bitfields16Spec() {
    BmpSpec s;
    s.width = 4;
    s.height = 2;
    s.bit_count = 16;
    s.compression = 3;
    s.masks = {0xF800, 0x07E0, 0x001F};
    s.bits = PackRows(4, 2, 16, [](int x, int y) { return static_cast<uint32_t>(x * 0x1234 + y); });
    return s;
}

// RLE8, 6 x 3: a run, an absolute run, end of line, a delta, a run, end of bitmap.
inline Bytes Rle8Stream() {
    return RleStream()
        .Run(3, 1)
        .Absolute8({2, 3, 4})
        .EndOfLine()
        .Delta(1, 1)
        .Run(2, 5)
        .EndOfBitmap()
        .Get();
}

// The pixel array Rle8Stream decodes to (stride 8).
inline Bytes Rle8Pixels() {
    return {1, 1, 1, 2, 3, 4, 0, 0,  //
            0, 0, 0, 0, 0, 0, 0, 0,  //
            0, 5, 5, 0, 0, 0, 0, 0};
}

// RLE4, 8 x 3: a run, an odd absolute run, end of line, a delta, a run, end of bitmap.
inline Bytes Rle4Stream() {
    return RleStream()
        .Run(5, 0x12)
        .Absolute4({3, 4, 5})
        .EndOfLine()
        .Delta(2, 1)
        .Run(3, 0x67)
        .EndOfBitmap()
        .Get();
}

inline Bytes Rle4Pixels() {
    return {0x12, 0x12, 0x13, 0x45,  //
            0x00, 0x00, 0x00, 0x00,  //
            0x00, 0x67, 0x60, 0x00};
}

}  // namespace bmp_test
