// Pictures of many formats through the codec layer: one frame decoded into a packed DIB, with the
// detected type and frame count; and the two writing slots that encode the result DIB.
#pragma once

#include <cstdint>

#include "CxImage.h"
#include "ImageFileBase.h"

class ImgFile : public ImageFileBase {
public:
    ImgFile() = default;
    ~ImgFile() override;

    int32_t ReadPictureFromMemory() override;
    int32_t WritePictureToFile() override;
    int32_t WritePictureToMemory() override;
    int32_t ReadInfoFromMemory() override;

    // The type code in the low bits; kOptionUpright and kOptionSrgb above it ask for options.
    void SetImageType(uint32_t type) {
        m_imageType = type & ~uint32_t{kOptionMask};
        m_image.SetOptions(type & kOptionMask);
    }
    void SetJpegScale(int32_t scale) { m_jpegScale = scale; }
    void SetFrameIndex(int32_t frame) { m_frameIndex = frame; }
    void SetJpegQuality(int32_t quality) { m_jpegQuality = quality; }
    // The picture read returns the file's preview instead (-1 when it has none).
    void SetPreview(bool preview) { m_preview = preview; }
    // The type found, with the options that the read honoured above it.
    uint32_t ImageType() const { return m_imageType | m_image.HonouredOptions(); }
    int32_t FrameCount() const { return m_frameCount; }
    int32_t XDpi() const { return m_image.GetXDPI(); }
    int32_t YDpi() const { return m_image.GetYDPI(); }

private:
    // The request's steps, rows of the table of failure codes.
    enum class Step { Info, TypedInfo, Picture, Preview, Write };

    void TakeMeasures();
    int32_t ResultOf(Step step) const;
    uint32_t SourceSize() const;
    bool PrepareWrite();

    CxImage m_image{kTypeUnknown};
    uint32_t m_imageType = 0;
    int32_t m_jpegScale = 1;
    int32_t m_jpegQuality = 90;
    int32_t m_frameIndex = 0;
    int32_t m_frameCount = 0;
    bool m_preview = false;
};
