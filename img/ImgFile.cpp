#include "ImgFile.h"

#include <new>

namespace {

// What each step answers when the codec layer fails, by the status that it gives (columns in
// CodecStatus's order). The information read tells bytes that are not of the type asked for
// (3) from bytes of no type it knows (2); the picture read answers 2 for both. A preview that
// is not to be had leaves the host to read the picture (-1), as plug-ins without previews
// answer. Memory that runs short is 4 everywhere: the host may retry at a reduced scale.
constexpr int32_t kUnknown = SPI_UNKNOWN_FORMAT, kBroken = SPI_BROKEN_DATA,
                  kNoMemory = SPI_OUT_OF_MEMORY, kNoPreview = SPI_NOT_IMPLEMENTED;
static_assert(static_cast<int>(CodecStatus::NoMemory) == 5, "one column per status");
constexpr int32_t kResults[][6] = {
    // Ok   NotThisFormat Unsupported Broken      NoFrame     NoMemory
    {SPI_OK, kUnknown,    kUnknown,   kUnknown,   kUnknown,   kNoMemory},  // Info
    {SPI_OK, kBroken,     kBroken,    kBroken,    kBroken,    kNoMemory},  // TypedInfo
    {SPI_OK, kUnknown,    kUnknown,   kUnknown,   kUnknown,   kNoMemory},  // Picture
    {SPI_OK, kUnknown,    kNoPreview, kNoPreview, kNoPreview, kNoMemory},  // Preview
    {SPI_OK, kBroken,     kBroken,    kBroken,    kBroken,    kNoMemory},  // Write
};

}  // namespace

// The code for the codec layer's last failure. A failure that names no cause (a file that
// could not be written) counts as damage.
int32_t ImgFile::ResultOf(Step step) const {
    CodecStatus status = m_image.LastStatus();
    if (status == CodecStatus::Ok) status = CodecStatus::Broken;
    return kResults[static_cast<int>(step)][static_cast<int>(status)];
}

// The codec layer takes 32-bit sizes; a larger source is read as none.
uint32_t ImgFile::SourceSize() const {
    return static_cast<uint32_t>(m_dataSize > UINT32_MAX ? 0 : m_dataSize);
}

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
    if (!m_image.ReadHeader(m_data, SourceSize(), m_imageType)) {
        return ResultOf(m_imageType != kTypeUnknown ? Step::TypedInfo : Step::Info);
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
    const bool decoded = m_preview ? m_image.DecodePreview(m_data, SourceSize(), m_imageType)
                                   : m_image.Decode(m_data, SourceSize(), m_imageType);
    if (!decoded) {
        const int32_t result = ResultOf(m_preview ? Step::Preview : Step::Picture);
        // A file without a preview still tells its type to the host that reads it next.
        if (result == SPI_NOT_IMPLEMENTED && m_image.GetType() != kTypeUnknown) {
            m_imageType = m_image.GetType();
        }
        return result;
    }
    TakeMeasures();
    m_resultDib = m_image.CopyToHandle();
    // A decode that leaves no picture to hand over has not succeeded.
    return m_resultDib ? SPI_OK : SPI_OUT_OF_MEMORY;
}

// Both writing slots start alike: the JPEG quality, then the result DIB as the picture.
bool ImgFile::PrepareWrite() {
    if (m_imageType == kTypeJpeg) {
        m_image.SetJpegQuality(static_cast<uint8_t>(m_jpegQuality & 0xFF));
    }
    return m_image.CreateFromHANDLE(m_resultDib);
}

int32_t ImgFile::WritePictureToFile() {
    if (!PrepareWrite() || !m_image.Save(m_fileName, m_imageType)) return ResultOf(Step::Write);
    return SPI_OK;
}

int32_t ImgFile::WritePictureToMemory() {
    if (!PrepareWrite()) return ResultOf(Step::Write);
    uint8_t* buffer = nullptr;
    int32_t size = 0;
    if (!m_image.Encode(buffer, size, m_imageType)) {
        CxImage::FreeMemory(buffer);
        return ResultOf(Step::Write);
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
