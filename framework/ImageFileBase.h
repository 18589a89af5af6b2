// Base of every format class: what a read produces (size, bit count, packed DIB, info block),
// where the bytes come from (a file with an offset, or memory) and a buffer for encoded output.
// A file source is mapped and handed to the memory form of the read.
#pragma once

#include <cstddef>
#include <cstdint>

#include "GlobalBlock.h"
#include "ZEMxMemoryT.h"
#include "plugin_abi.h"

class ImageFileBase {
public:
    ImageFileBase() = default;
    virtual ~ImageFileBase();
    ImageFileBase(const ImageFileBase&) = delete;
    ImageFileBase& operator=(const ImageFileBase&) = delete;

    virtual int32_t ReadPictureFromFile();
    virtual int32_t ReadPictureFromMemory() { return SPI_NOT_IMPLEMENTED; }
    virtual int32_t WritePictureToFile() { return SPI_NOT_IMPLEMENTED; }
    virtual int32_t WritePictureToMemory() { return SPI_NOT_IMPLEMENTED; }
    virtual int32_t ReadInfoFromFile();
    virtual int32_t ReadInfoFromMemory() { return SPI_NOT_IMPLEMENTED; }

    // The file name is not copied: the caller keeps it alive for the length of the read.
    void SetFileSource(const wchar_t* file_name, uint64_t offset) {
        m_fileName = file_name;
        m_fileOffset = offset;
    }
    void SetMemorySource(const uint8_t* data, size_t size) {
        m_data = data;
        m_dataSize = size;
    }

    int32_t Width() const { return m_width; }
    int32_t Height() const { return m_height; }
    int32_t BitCount() const { return m_bitCount; }
    const wchar_t* FileName() const { return m_fileName; }
    GlobalBlock& InfoBlock() { return m_infoBlock; }
    ZEMxMemoryT<unsigned char>& OutputBuffer() { return m_outputBuffer; }

    // The packed DIB of the last picture read; the object never frees it.
    SpiHandle ResultDib() const { return m_resultDib; }
    void SetResultDib(SpiHandle dib) { m_resultDib = dib; }
    SpiHandle TakeResultDib() {
        SpiHandle h = m_resultDib;
        m_resultDib = nullptr;
        return h;
    }

protected:
    int32_t m_width = 0;
    int32_t m_height = 0;
    int32_t m_bitCount = 0;
    ZEMxMemoryT<unsigned char> m_outputBuffer;
    GlobalBlock m_infoBlock;
    const wchar_t* m_fileName = nullptr;
    uint64_t m_fileOffset = 0;
    const uint8_t* m_data = nullptr;
    size_t m_dataSize = 0;
    SpiHandle m_resultDib = nullptr;

private:
    int32_t ReadFromMappedFile(int32_t (ImageFileBase::*read)());
};
