// The plug-in base class behind the five exports, and the request flow that every plug-in shares:
// one format object per call, built on the stack, given the source, read once and emptied.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ImageFileBase.h"
#include "plugin_abi.h"

// The four strings that GetPluginInfo hands out: interface version, description, file-name
// filter, type name.
struct PluginInfoTable {
    const char* entries[4];
};

// Size of the file head that IsSupported tests.
constexpr size_t kHeadSize = 2048;

class SPI_BASE {
public:
    virtual ~SPI_BASE() = default;
    virtual int32_t GetPluginInfo(int32_t, char*, int32_t) { return 0; }
    virtual int32_t IsSupported(const char*, SpiHeadWord) { return 0; }
    virtual int32_t GetPictureInfo(const char*, SpiLength, uint32_t, PictureInfoRecord*) {
        return SPI_NOT_IMPLEMENTED;
    }
    virtual int32_t GetPicture(const char*, SpiLength, uint32_t, SpiHandle*, SpiHandle*,
                               ProgressCallback, SpiUserData) {
        return SPI_NOT_IMPLEMENTED;
    }
    virtual int32_t GetPreview(const char*, SpiLength, uint32_t, SpiHandle*, SpiHandle*,
                               ProgressCallback, SpiUserData) {
        return SPI_NOT_IMPLEMENTED;
    }
    virtual int32_t ExtraEntry1(int32_t, int32_t, int32_t, int32_t) { return SPI_NOT_IMPLEMENTED; }
    virtual int32_t ExtraEntry2(int32_t, int32_t, int32_t, int32_t, int32_t) {
        return SPI_NOT_IMPLEMENTED;
    }
    virtual int32_t ExtraEntry3(int32_t, int32_t, int32_t, int32_t, int32_t, int32_t) {
        return SPI_NOT_IMPLEMENTED;
    }
    virtual int32_t ExtraEntry4(int32_t, int32_t) { return SPI_NOT_IMPLEMENTED; }

    // Copies one entry of the table into `buffer` (zero-filled, NUL-terminated, cut to fit);
    // returns the number of characters copied.
    static int32_t CopyPluginInfo(const PluginInfoTable& table, int32_t index, char* buffer,
                                  int32_t length);

    // The bytes that IsSupported tests: those `head_or_handle` points to when it is a pointer
    // (above 0xFFFF), else up to 2048 bytes read from the named file into a zeroed buffer.
    class Head {
    public:
        Head(const char* file_name, SpiHeadWord head_or_handle);
        const uint8_t* Data() const { return m_data; }

    private:
        uint8_t m_buffer[kHeadSize];
        const uint8_t* m_data;
    };

    // The tagged request block that GetPicture's user data points to, or null.
    static const PictureRequestBlock* RequestBlock(SpiUserData user_data);

    enum class InfoHandle { Untouched, HandOver };

    // The shared GetPictureInfo flow over a fresh format object.
    static int32_t RunGetPictureInfo(ImageFileBase& file, const char* buffer, SpiLength length,
                                     uint32_t flag, PictureInfoRecord* info,
                                     InfoHandle info_handle);
    // The shared GetPicture flow; the caller has already copied its request-block fields into
    // the format object, and checked and cleared the slots with PrepareSlots.
    static int32_t RunGetPicture(ImageFileBase& file, const char* buffer, SpiLength length,
                                 uint32_t flag, SpiHandle* info_slot, SpiHandle* bits_slot,
                                 bool split);

    // Clears the output slots and tells whether two handles are wanted.
    static bool PrepareSlots(SpiHandle* info_slot, SpiHandle* bits_slot);

    // Splits a packed DIB into a header block (header, colour table, masks) and a bits block.
    // Frees `dib` in every case. On failure both outputs are null and the result is non-zero.
    static int32_t SplitPackedDib(SpiHandle dib, SpiHandle* info_out, SpiHandle* bits_out);
};

// Each plug-in module defines the one global plug-in object that the exports forward to.
SPI_BASE& ThePlugin();
