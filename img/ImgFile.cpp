#include "ImgFile.h"

#include <new>

ImgFile::~ImgFile() {
    m_image.DestroyFrames();
    m_image.Destroy();
}

void ImgFile::TakeMeasures() {
    m_width = static_cast<int32_t>(m_image.GetWidth());
    m_height = static_cast<int32_t>(m_image.GetHeight());
    m_bitCount = m_image.GetBpp();
    m_frameCount = m_image.GetNumFrames();
    m_imageType = m_image.GetType();
}

// The information read answers from the file's headers (what the picture read of frame 0 would
// give); no frame or scale is chosen and no pixel is decoded.
int32_t ImgFile::ReadInfoFromMemory() {
    if (!m_image.Ping(m_data, static_cast<uint32_t>(m_dataSize > UINT32_MAX ? 0 : m_dataSize),
                      m_imageType)) {
        if (m_image.LastStatus() == CodecStatus::NoMemory) return SPI_OUT_OF_MEMORY;
        return m_imageType != 0 ? SPI_BROKEN_DATA : SPI_UNKNOWN_FORMAT;
    }
    TakeMeasures();
    return SPI_OK;
}

int32_t ImgFile::ReadPictureFromMemory() {
    m_resultDib = nullptr;
    if (m_jpegScale > 1) {
        m_image.SetJpegScale(static_cast<uint8_t>(m_jpegScale > 32 ? 32 : m_jpegScale));
    }
    m_image.SetFrame(m_frameIndex);
    const uint8_t* data = m_data;
    const auto size = static_cast<uint32_t>(m_dataSize > UINT32_MAX ? 0 : m_dataSize);
    if (m_preview) {
        if (m_image.DecodePreview(data, size, m_imageType)) {
            TakeMeasures();
            m_resultDib = m_image.CopyToHandle();
            return m_resultDib ? SPI_OK : SPI_OUT_OF_MEMORY;
        }
        // A file without a preview, or whose own thumbnail is damaged, leaves the host to read
        // the picture: -1, as the plug-ins that offer no previews answer.
        switch (m_image.LastStatus()) {
            case CodecStatus::NoMemory:
                return SPI_OUT_OF_MEMORY;
            case CodecStatus::NotThisFormat:
                return SPI_UNKNOWN_FORMAT;
            default:
                if (m_image.GetType() != kTypeUnknown) m_imageType = m_image.GetType();
                return SPI_NOT_IMPLEMENTED;
        }
    }
    if (!m_image.Decode(data, size, m_imageType)) {
        // A picture too large to build is out of memory, whatever else: the host may retry it
        // at a reduced scale.
        return m_image.LastStatus() == CodecStatus::NoMemory ? SPI_OUT_OF_MEMORY
                                                             : SPI_UNKNOWN_FORMAT;
    }
    TakeMeasures();
    m_resultDib = m_image.CopyToHandle();
    // A decode that leaves no picture to hand over has not succeeded.
    return m_resultDib ? SPI_OK : SPI_OUT_OF_MEMORY;
}

int32_t ImgFile::WritePictureToFile() {
    if (m_imageType == kTypeJpeg) {
        m_image.SetJpegQuality(static_cast<uint8_t>(m_jpegQuality & 0xFF));
        m_image.SetCodecOption(0, kTypeJpeg);
    }
    m_image.CreateFromHANDLE(m_resultDib);
    return m_image.Save(m_fileName, m_imageType) ? SPI_OK : SPI_BROKEN_DATA;
}

int32_t ImgFile::WritePictureToMemory() {
    if (m_imageType == kTypeJpeg) {
        m_image.SetJpegQuality(static_cast<uint8_t>(m_jpegQuality & 0xFF));
        m_image.SetCodecOption(0, kTypeJpeg);
    }
    m_image.CreateFromHANDLE(m_resultDib);
    uint8_t* buffer = nullptr;
    int32_t size = 0;
    if (!m_image.Encode(buffer, size, m_imageType)) {
        CxImage::FreeMemory(buffer);
        return SPI_BROKEN_DATA;
    }
    // The buffer keeps a larger size it already had; a failed growth leaves it as it was.
    int32_t result = SPI_OK;
    try {
        m_outputBuffer.WriteAt(buffer, size, 0);
    } catch (const std::bad_alloc&) {
        result = SPI_OUT_OF_MEMORY;
    }
    CxImage::FreeMemory(buffer);
    return result;
}
