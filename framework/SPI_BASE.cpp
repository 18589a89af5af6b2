#include "SPI_BASE.h"

#include <cstring>
#include <string>

#include "DibHelpers.h"
#include "GlobalBlock.h"
#include "platform/platform.h"

int32_t SPI_BASE::CopyPluginInfo(const PluginInfoTable& table, int32_t index, char* buffer,
                                 int32_t length) {
    if (!buffer || length < 1) return 0;
    std::memset(buffer, 0, static_cast<size_t>(length));
    if (index < 0 || index > 3 || !table.entries[index]) return 0;
    const size_t n = std::strlen(table.entries[index]);
    const size_t room = static_cast<size_t>(length) - 1;
    const size_t copied = n < room ? n : room;
    std::memcpy(buffer, table.entries[index], copied);
    return static_cast<int32_t>(copied);
}

SPI_BASE::Head::Head(const char* file_name, SpiHeadWord head_or_handle) : m_buffer{} {
    if ((head_or_handle >> 16) != 0) {
        m_data = reinterpret_cast<const uint8_t*>(head_or_handle);
    } else {
        platform::ReadFileHead(file_name, m_buffer, sizeof m_buffer);
        m_data = m_buffer;
    }
}

const PictureRequestBlock* SPI_BASE::RequestBlock(SpiUserData user_data) {
    if (user_data == 0) return nullptr;
    const auto* block = reinterpret_cast<const PictureRequestBlock*>(user_data);
    return std::memcmp(block->tag, "zem", 3) == 0 ? block : nullptr;
}

namespace {

// Gives the format object its source. The wide name must outlive the read.
int32_t ReadSource(ImageFileBase& file, const char* buffer, SpiLength length, uint32_t flag,
                   std::wstring& wide_name, bool picture) {
    switch (flag & SPI_SRC_MASK) {
        case SPI_SRC_FILE:
            if (!buffer || length < 0) return SPI_FILE_READ_ERROR;
            wide_name = platform::AnsiToWide(buffer);
            file.SetFileSource(wide_name.c_str(), static_cast<uint64_t>(length));
            return picture ? file.ReadPictureFromFile() : file.ReadInfoFromFile();
        case SPI_SRC_MEMORY:
            if (!buffer || length < 0) return SPI_FILE_READ_ERROR;
            file.SetMemorySource(reinterpret_cast<const uint8_t*>(buffer),
                                 static_cast<size_t>(length));
            return picture ? file.ReadPictureFromMemory() : file.ReadInfoFromMemory();
        default:
            return picture ? SPI_NOT_IMPLEMENTED : SPI_FILE_READ_ERROR;
    }
}

}  // namespace

int32_t SPI_BASE::RunGetPictureInfo(ImageFileBase& file, const char* buffer, SpiLength length,
                                    uint32_t flag, PictureInfoRecord* info,
                                    InfoHandle info_handle) {
    if (!info) return SPI_NOT_IMPLEMENTED;
    std::wstring wide_name;
    const int32_t result = ReadSource(file, buffer, length, flag, wide_name, false);
    // The record is written whatever the result; a read that failed early reports 0 x 0 x 0.
    info->left = 0;
    info->top = 0;
    info->width = file.Width();
    info->height = file.Height();
    info->xDensity = 0;
    info->yDensity = 0;
    info->colorDepth = static_cast<uint16_t>(file.BitCount());
    if (info_handle == InfoHandle::HandOver) info->infoHandle = file.InfoBlock().Detach();
    return result;
}

bool SPI_BASE::PrepareSlots(SpiHandle* info_slot, SpiHandle* bits_slot) {
    *info_slot = nullptr;
    if (!bits_slot) return false;
    const auto value = reinterpret_cast<uintptr_t>(*bits_slot);
    *bits_slot = nullptr;
    // A 64-bit host may store the marker sign-extended or as a 32-bit value.
    const bool marker =
        value == static_cast<uintptr_t>(static_cast<intptr_t>(SPI_PACKED_DIB_MARKER)) ||
        value == static_cast<uintptr_t>(static_cast<uint32_t>(SPI_PACKED_DIB_MARKER));
    return !marker;
}

int32_t SPI_BASE::RunGetPicture(ImageFileBase& file, const char* buffer, SpiLength length,
                                uint32_t flag, SpiHandle* info_slot, SpiHandle* bits_slot,
                                bool split) {
    std::wstring wide_name;
    const int32_t result = ReadSource(file, buffer, length, flag, wide_name, true);
    OwnedHandle dib(file.TakeResultDib());
    if (result != SPI_OK) return result;  // a failed read hands out nothing
    // A read that reports success without a DIB could not obtain its memory.
    if (!dib) return SPI_OUT_OF_MEMORY;
    if (!split) {
        *info_slot = dib.Release();
        return SPI_OK;
    }
    return SplitPackedDib(dib.Release(), info_slot, bits_slot);
}

int32_t SPI_BASE::SplitPackedDib(SpiHandle dib, SpiHandle* info_out, SpiHandle* bits_out) {
    OwnedHandle whole(dib);
    *info_out = nullptr;
    *bits_out = nullptr;
    const size_t total = platform::MemSize(dib);
    ScopedLock lock(dib);
    if (!lock) return SPI_OUT_OF_MEMORY;
    DibMeasures m;
    // A picture of width 0 (an empty GIF image) still splits into its header and no bits.
    if (!MeasureDib(lock.Data(), total, m, true) || m.HeaderPartSize() > total) {
        return SPI_BROKEN_DATA;
    }
    const auto head_size = static_cast<size_t>(m.HeaderPartSize());
    OwnedHandle head = OwnedHandle::Allocate(head_size, true);
    OwnedHandle bits = OwnedHandle::Allocate(total - head_size, true);
    if (!head || !bits) return SPI_OUT_OF_MEMORY;
    {
        ScopedLock h(head.Get());
        ScopedLock b(bits.Get());
        if (!h || !b) return SPI_OUT_OF_MEMORY;
        std::memcpy(h.Data(), lock.Data(), head_size);
        std::memcpy(b.Data(), lock.Data() + head_size, total - head_size);
    }
    *info_out = head.Release();
    *bits_out = bits.Release();
    return SPI_OK;
}
