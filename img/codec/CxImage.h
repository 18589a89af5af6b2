// The codec layer's image object: the operations that the multi-format reader relies on, over
// the back ends of this build. One object serves one request and is not shared between threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "CodecBackend.h"
#include "DibCanvas.h"
#include "plugin_abi.h"

class CxImage {
public:
    explicit CxImage(uint32_t image_type = kTypeUnknown);
    ~CxImage();
    CxImage(const CxImage&) = delete;
    CxImage& operator=(const CxImage&) = delete;

    void SetJpegScale(uint8_t scale) { m_jpegScale = scale == 0 ? 1 : scale; }
    void SetFrame(int32_t frame) { m_frame = frame; }
    // kOptionUpright and kOptionSrgb for the reads that follow; other bits are ignored.
    void SetOptions(uint32_t options) { m_options = options & kOptionMask; }
    // The options that the last read honoured: the picture is upright, or in sRGB as far as
    // the file tells its colours.
    uint32_t HonouredOptions() const { return m_honoured; }
    // Decodes the chosen frame; `type` 0 detects the format. False when nothing was decoded;
    // LastStatus() tells why.
    bool Decode(const uint8_t* data, uint32_t size, uint32_t type);
    // Decodes the file's preview (its own thumbnail or a cheap reduced decode) of the chosen
    // frame instead of the picture; LastStatus() is Unsupported when the file offers none.
    bool DecodePreview(const uint8_t* data, uint32_t size, uint32_t type);

    // Reads what Decode of frame 0 would give (size, bit count, densities, type, frame count)
    // from the file's headers, decoding no pixels; there is no picture to hand over after it.
    // A file whose pixel data is damaged may read its header and then fail Decode.
    bool ReadHeader(const uint8_t* data, uint32_t size, uint32_t type);

    uint32_t GetWidth() const { return m_width; }
    uint32_t GetHeight() const { return m_height; }
    uint16_t GetBpp() const { return m_bpp; }
    int32_t GetNumFrames() const { return m_frameCount; }
    uint32_t GetType() const { return m_type; }
    int32_t GetXDPI() const { return m_xDpi; }
    int32_t GetYDPI() const { return m_yDpi; }
    CodecStatus LastStatus() const { return m_status; }

    // Hands the decoded frame to the caller as a packed DIB; null when there is none (a second
    // call, or no successful decode).
    SpiHandle CopyToHandle();

    // Takes a copy of an uncompressed packed DIB as the picture to encode; false, with
    // LastStatus() telling why, when the DIB is damaged, of a kind not encoded, or too large.
    bool CreateFromHANDLE(SpiHandle dib);
    void SetJpegQuality(uint8_t quality) { m_jpegQuality = quality; }
    // False when encoding fails (LastStatus() tells why), or, with LastStatus() Ok, when the
    // file cannot be written whole.
    bool Save(const wchar_t* file_name, uint32_t type);
    // On success `buffer` holds a block of `size` bytes that FreeMemory releases.
    bool Encode(uint8_t*& buffer, int32_t& size, uint32_t type);
    static void FreeMemory(void* block);

    void DestroyFrames();
    void Destroy();

    // The back end that reads `type`, or null.
    static const CodecBackend* BackendFor(uint32_t type);

private:
    enum class What { Picture, Preview };
    bool Run(const uint8_t* data, uint32_t size, uint32_t type, What what);
    // Runs `attempt(backend, detecting)` on the back end that reads `type`, or with type 0 on
    // each back end whose signature matches until one does not decline the bytes
    // (NotThisFormat). Each attempt starts by clearing what it fills. Sets m_status; returns
    // the back end last tried (null when none).
    template <typename Attempt>
    const CodecBackend* Detect(const uint8_t* data, uint32_t size, uint32_t type,
                               Attempt&& attempt);
    // Clears the last result; false (status Broken) when there are no bytes to read.
    bool Begin(const uint8_t* data, uint32_t size);
    bool EncodeTo(std::vector<uint8_t>& out, uint32_t type);
    // Applies the options asked for to the decoded canvas, or takes what the back end applied
    // as it decoded (`done`); false (m_status set) when memory runs out.
    bool ApplyOptions(const uint8_t* data, uint32_t size, const PictureOptions* done);

    DibCanvas m_canvas;
    std::vector<uint8_t> m_source;  // CreateFromHANDLE's copy
    DibView m_view;
    bool m_hasView = false;
    CodecStatus m_status = CodecStatus::Ok;
    uint32_t m_width = 0;
    uint32_t m_height = 0;
    uint16_t m_bpp = 0;
    int32_t m_frameCount = 0;
    uint32_t m_type = kTypeUnknown;
    int32_t m_xDpi = 96;
    int32_t m_yDpi = 96;
    int32_t m_frame = 0;
    uint8_t m_jpegScale = 1;
    uint8_t m_jpegQuality = 90;
    uint32_t m_options = 0;
    uint32_t m_honoured = 0;
};
