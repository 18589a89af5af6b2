// GIF through the plug-ins' own reader: each image of the stream is a frame, decoded by itself
// into the 1-, 4- or 8-bit DIB that gifsrc gives.
#include "ByteReader.h"
#include "CodecBackends.h"
#include "GifFile.h"
#include "GifLzw.h"

namespace {

class GifCodec final : public CodecBackend {
public:
    uint32_t Type() const override { return kTypeGif; }

    bool Sniff(const uint8_t* p, size_t size) const override {
        return size >= 6 && p[0] == 'G' && p[1] == 'I' && p[2] == 'F' && p[3] == '8' &&
               (p[4] == '7' || p[4] == '9') && p[5] == 'a';
    }

    CodecStatus Decode(const uint8_t* data, size_t size, const DecodeRequest& request,
                       DibCanvas& canvas, DecodeResult& result) const override {
        if (!Sniff(data, size)) return CodecStatus::NotThisFormat;
        if (request.frame < 0) return CodecStatus::NoFrame;
        GifFile gif;
        const int32_t images = gif.CountImages(data, size);
        gif.SetImageIndex(request.frame);
        gif.SetMemorySource(data, size);
        switch (static_cast<GifResult>(gif.ReadPictureFromMemory())) {
            case GifResult::Ok:
                break;
            case GifResult::NoMemory:
                return CodecStatus::NoMemory;
            case GifResult::DataEnded:
                return request.frame >= images && images > 0 ? CodecStatus::NoFrame
                                                             : CodecStatus::Broken;
            default:
                return CodecStatus::Broken;
        }
        // An empty image (width or height 0) decodes in gifsrc but is no picture here.
        const CodecStatus adopted = canvas.Adopt(gif.TakeResultDib());
        if (adopted != CodecStatus::Ok) return adopted;
        result.frame_count = images > request.frame ? images : request.frame + 1;
        return CodecStatus::Ok;
    }

    // A walk over the blocks up to the first image's descriptor and colour table, as the
    // picture read makes it, with no LZW; the images are counted by skipping their data.
    CodecStatus Ping(const uint8_t* data, size_t size, const DecodeRequest&,
                     PictureHeader& header) const override {
        if (!Sniff(data, size)) return CodecStatus::NotThisFormat;
        if (size < 13) return CodecStatus::Broken;
        int32_t colour_bits = (data[10] & 7) + 1;
        size_t pos = 13;
        if ((data[10] & 0x80) != 0) pos += size_t{3} << colour_bits;
        for (;;) {
            if (pos >= size) return CodecStatus::Broken;
            const uint8_t introducer = data[pos++];
            if (introducer == 0x2C) break;
            if (introducer != 0x21 || pos >= size) return CodecStatus::Broken;
            if (data[pos++] == 0xF9) {  // Graphic Control Extension: a fixed 6-byte body
                pos += 6;
                continue;
            }
            for (;;) {  // sub-blocks up to the terminator
                if (pos >= size) return CodecStatus::Broken;
                const size_t n = data[pos++];
                if (n == 0) break;
                pos += n;
            }
        }
        if (size - pos < 9) return CodecStatus::Broken;
        const uint8_t packed = data[pos + 8];
        if ((packed & 0x80) != 0) {
            colour_bits = (packed & 7) + 1;
            if (size - pos - 9 < size_t{3} << colour_bits) return CodecStatus::Broken;
        }
        // A minimum code size that the decoder refuses fails the picture read before any pixel.
        const size_t table = (packed & 0x80) != 0 ? size_t{3} << colour_bits : 0;
        if (size - pos - 9 > table && data[pos + 9 + table] > GifLzwDecoder::kMaxMinimumCodeSize) {
            return CodecStatus::Broken;
        }
        header.width = ByteReader::LoadU16LE(data + pos + 4);
        header.height = ByteReader::LoadU16LE(data + pos + 6);
        header.bit_count = static_cast<uint16_t>(GifFile::DibBitCountFor(colour_bits));
        GifFile gif;
        const int32_t images = gif.CountImages(data, size);
        header.result.frame_count = images > 0 ? images : 1;
        return CodecStatus::Ok;
    }
};

}  // namespace

const CodecBackend& GifBackend() {
    static const GifCodec backend;
    return backend;
}
