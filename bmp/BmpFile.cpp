#include "BmpFile.h"

#include <cstring>
#include <new>

#include "BmpLayout.h"
#include "ByteReader.h"
#include "Checked.h"
#include "GlobalBlock.h"

int32_t BmpFile::ReadPictureFromMemory() {
    // The packed-DIB rule: the bits follow the colour table, whatever the file header says.
    BmpLayout layout;
    if (!PlanBmpLayout(m_data, m_dataSize, layout)) return SPI_FILE_READ_ERROR;
    const uint8_t* header = layout.header;
    const size_t available = layout.available;
    const DibMeasures& m = layout.packed;
    if (!layout.packed_ok || m.total_size > available) return SPI_FILE_READ_ERROR;
    m_width = m.width;
    m_height = m.height;
    m_bitCount = static_cast<int32_t>(m.bit_count);

    // A stream that writes outside its rows is no bitmap this reader draws.
    if (SpiHandle decoded = DecompressRleDib(header, available, m, RleOverflow::Fail)) {
        m_resultDib = decoded;
        return SPI_OK;
    }
    // Not RLE, or RLE that did not decode: the DIB is returned as it stands, trailing bytes
    // after the bitmap included.
    // The copy fills every requested byte, and the platform zeroes any slack past the request,
    // so the block needs no zero fill of its own: on large bitmaps that pass costs as much as
    // the copy.
    OwnedHandle copy = OwnedHandle::Allocate(available, false);
    if (!copy) return SPI_OUT_OF_MEMORY;
    {
        ScopedLock lock(copy.Get());
        if (!lock) return SPI_OUT_OF_MEMORY;
        std::memcpy(lock.Data(), header, available);
    }
    m_resultDib = copy.Release();
    return SPI_OK;
}

int32_t BmpFile::ReadInfoFromMemory() {
    BmpLayout layout;
    if (!PlanBmpLayout(m_data, m_dataSize, layout) || layout.available < 4) {
        return SPI_FILE_READ_ERROR;
    }
    const uint8_t* header = layout.header;
    const size_t available = layout.available;
    // Reads the width, height and bit count of the header, without further checks.
    const uint32_t header_size = ByteReader::LoadU32LE(header);
    if (header_size == kCoreHeaderSize) {
        if (available < kCoreHeaderSize) return SPI_FILE_READ_ERROR;
        m_width = ByteReader::LoadU16LE(header + 4);
        m_height = ByteReader::LoadU16LE(header + 6);
        m_bitCount = ByteReader::LoadU16LE(header + 10);
        return SPI_OK;
    }
    if (available < 16) return SPI_FILE_READ_ERROR;
    m_width = ByteReader::LoadI32LE(header + 4);
    m_height = ByteReader::LoadI32LE(header + 8);
    m_bitCount = ByteReader::LoadU16LE(header + 14);
    return SPI_OK;
}

bool BuildBmpFileHeader(const DibMeasures& m, uint8_t out[kFileHeaderSize]) {
    const uint64_t file_size = m.total_size + kFileHeaderSize;
    const uint64_t off_bits = kFileHeaderSize + m.HeaderPartSize();
    if (file_size > UINT32_MAX) return false;
    out[0] = 'B';  // bfType
    out[1] = 'M';
    ByteReader::StoreU32LE(out + 2, static_cast<uint32_t>(file_size));  // bfSize
    ByteReader::StoreU16LE(out + 6, 0);                                 // bfReserved1
    ByteReader::StoreU16LE(out + 8, 0);                                 // bfReserved2
    ByteReader::StoreU32LE(out + 10, static_cast<uint32_t>(off_bits));  // bfOffBits
    return true;
}

int32_t BmpFile::WritePictureToMemory() {
    if (!m_resultDib) return SPI_NOT_IMPLEMENTED;
    const size_t block_size = platform::MemSize(m_resultDib);
    ScopedLock lock(m_resultDib);
    if (!lock) return SPI_OUT_OF_MEMORY;
    DibMeasures m;
    if (!MeasureDib(lock.Data(), block_size, m) || m.total_size > block_size) {
        return SPI_BROKEN_DATA;
    }
    uint8_t file_header[kFileHeaderSize];
    const uint64_t file_size = m.total_size + kFileHeaderSize;
    if (!BuildBmpFileHeader(m, file_header) || file_size > INT32_MAX) return SPI_OUT_OF_MEMORY;
    // The byte buffer raises when it cannot grow; that ends the write, not the caller.
    try {
        m_outputBuffer.Reserve(static_cast<int32_t>(file_size));
    } catch (const std::bad_alloc&) {
        return SPI_OUT_OF_MEMORY;
    }
    // The buffer now holds file_size bytes, so neither write needs to grow it.
    m_outputBuffer.WriteAt(file_header, kFileHeaderSize, 0);
    m_outputBuffer.WriteAt(lock.Data(), static_cast<int32_t>(m.total_size), kFileHeaderSize);
    return SPI_OK;
}

int32_t BmpFile::WritePictureToFile() { return SaveDibAsBmpFile(m_fileName, m_resultDib) ? 0 : 1; }

namespace {

// Measures a DIB that the writer can put in a BMP file: an info-type header whose bitmap lies
// within its block and whose file size fits the file header.
bool MeasureWritableDib(const uint8_t* dib, size_t block_size, DibMeasures& m,
                        uint8_t file_header[kFileHeaderSize]) {
    return MeasureDib(dib, block_size, m) && m.IsInfoType() && m.total_size <= block_size &&
           BuildBmpFileHeader(m, file_header);
}

}  // namespace

bool SaveDibAsBmpFile(const wchar_t* file_name, SpiHandle dib) {
    if (!dib || !file_name) return false;
    {
        // A DIB that cannot be written leaves an existing file as it was: it is checked before
        // the file is opened (and so truncated).
        const size_t block_size = platform::MemSize(dib);
        ScopedLock lock(dib);
        DibMeasures m;
        uint8_t file_header[kFileHeaderSize];
        if (!lock || !MeasureWritableDib(lock.Data(), block_size, m, file_header)) return false;
    }
    platform::OutputFile file;
    // A file that cannot be opened was never ours to delete.
    if (!file.Create(file_name)) return false;
    bool ok = WriteBmpToFile(file, dib);
    ok = file.Close() && ok;
    if (!ok) platform::RemoveFile(file_name);
    return ok;
}

bool WriteBmpToFile(platform::OutputFile& file, SpiHandle dib) {
    if (!dib) return false;
    const size_t block_size = platform::MemSize(dib);
    ScopedLock lock(dib);
    if (!lock) return false;
    DibMeasures m;
    uint8_t file_header[kFileHeaderSize];
    if (!MeasureWritableDib(lock.Data(), block_size, m, file_header)) return false;
    return file.Write(file_header, sizeof file_header) &&
           file.Write(lock.Data(), static_cast<size_t>(m.total_size));
}
