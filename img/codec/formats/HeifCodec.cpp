// HEIF (HEVC) and AVIF (AV1) through libheif, from memory without a copy. Frame 0 is the primary
// image, the further top-level images follow in libheif's order; an AVIF image sequence has the
// frames of its track instead, through libavif where the build has it (AvifSequence.h). The clap,
// irot and imir properties, which define the image in HEIF, are applied (EXIF orientation is not),
// samples deeper than 8 bits are reduced to 8 by libheif, and alpha gives 32-bit straight BGRA.
// libheif brings YCbCr to RGB with the matrix and range of the image's nclx colour property; the
// primaries and curve it names, or the image's ICC profile, are what a request for sRGB converts.
#include <libheif/heif.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "ByteReader.h"
#include "CodecBackends.h"
#ifdef ZEM_CODEC_AVIS
#include "AvifSequence.h"
#endif
#include "IsoBoxes.h"
#include "PictureMetadata.h"
#include "PreviewRules.h"
#include "SampleScale.h"

namespace {

bool IsBrand(const uint8_t* b, const char* name) { return std::memcmp(b, name, 4) == 0; }

// The type that the ftyp box at the head names: AVIF brands win over the HEIF ones.
uint32_t BrandType(const uint8_t* data, size_t size) {
    if (size < 16 || std::memcmp(data + 4, "ftyp", 4) != 0) return kTypeUnknown;
    const uint32_t box = (uint32_t{data[0]} << 24) | (uint32_t{data[1]} << 16) |
                         (uint32_t{data[2]} << 8) | data[3];
    if (box < 16) return kTypeUnknown;
    const size_t end = box < size ? box : size;
    bool heif = false;
    for (size_t at = 8; at + 4 <= end; at += 4) {
        if (at == 12) continue;  // minor version
        const uint8_t* b = data + at;
        if (IsBrand(b, "avif") || IsBrand(b, "avis")) return kTypeAvif;
        heif = heif || IsBrand(b, "heic") || IsBrand(b, "heix") || IsBrand(b, "heim") ||
               IsBrand(b, "heis") || IsBrand(b, "hevc") || IsBrand(b, "hevx") ||
               IsBrand(b, "mif1") || IsBrand(b, "msf1");
    }
    return heif ? uint32_t{kTypeHeif} : kTypeUnknown;
}

CodecStatus FromHeifError(const heif_error& error) {
    switch (error.code) {
        case heif_error_Ok:
            return CodecStatus::Ok;
        case heif_error_Memory_allocation_error:
            return CodecStatus::NoMemory;
        case heif_error_Unsupported_feature:
        case heif_error_Unsupported_filetype:
            return CodecStatus::Unsupported;
        default:
            return error.subcode == heif_suberror_Security_limit_exceeded ? CodecStatus::NoMemory
                                                                           : CodecStatus::Broken;
    }
}

// ---- The image's size after its transformations, from the boxes ------------------------------
// libheif's handle reports the size after irot but not the clean aperture that its decode cuts;
// the header read and the check of the decoded picture take it from the properties themselves.

// A clean aperture (clap) applied to a width x height picture: the kept columns or rows
// floor(pc - (clean - 1) / 2) to floor(pc + (clean - 1) / 2) with pc = offset + (size - 1) / 2,
// within the picture. False for a property that keeps nothing.
bool CleanAperture(ByteReader clap, uint32_t& width, uint32_t& height) {
    uint32_t f[8];
    for (uint32_t& v : f) {
        if (!clap.ReadU32BE(v)) return false;
    }
    auto span = [](uint32_t size, uint32_t clean_n, uint32_t clean_d, uint32_t off_n,
                   uint32_t off_d, uint32_t& out) {
        if (clean_d == 0 || off_d == 0 || size == 0) return false;
        const double centre =
            static_cast<int32_t>(off_n) / static_cast<double>(off_d) + (size - 1.0) / 2.0;
        const double half = (clean_n / static_cast<double>(clean_d) - 1.0) / 2.0;
        double first = std::floor(centre - half), last = std::floor(centre + half);
        if (first < 0) first = 0;
        if (last > size - 1.0) last = size - 1.0;
        if (!(last >= first)) return false;
        out = static_cast<uint32_t>(last - first + 1);
        return true;
    };
    return span(width, f[0], f[1], f[4], f[5], width) &&
           span(height, f[2], f[3], f[6], f[7], height);
}

// The size of item `id` once its transformations are applied (0 x 0 without an ispe). False
// when the boxes cannot be walked.
bool TransformedSize(const uint8_t* data, size_t size, uint32_t id, uint32_t& width,
                     uint32_t& height) {
    ByteReader meta, iprp, ipco, ipma;
    if (!FindBox(ByteReader(data, size), BoxType("meta"), meta) || !meta.Skip(4) ||
        !FindBox(meta, BoxType("iprp"), iprp) || !FindBox(iprp, BoxType("ipco"), ipco) ||
        !FindBox(iprp, BoxType("ipma"), ipma)) {
        return false;
    }
    uint8_t version = 0, flags[3];
    uint32_t entries = 0;
    if (!ipma.ReadU8(version) || !ipma.ReadBytes(flags, 3) || !ipma.ReadU32BE(entries)) {
        return false;
    }
    const bool wide_index = (flags[2] & 1) != 0;
    // The item's property boxes, in the order of its associations.
    std::vector<std::pair<uint32_t, ByteReader>> properties;
    for (uint32_t e = 0; e < entries; ++e) {
        uint32_t item = 0;
        uint16_t item16 = 0;
        uint8_t count = 0;
        if (version < 1 ? !ipma.ReadU16BE(item16) : !ipma.ReadU32BE(item)) return false;
        if (version < 1) item = item16;
        if (!ipma.ReadU8(count)) return false;
        for (uint8_t a = 0; a < count; ++a) {
            uint16_t index = 0;
            uint8_t narrow = 0;
            if (wide_index ? !ipma.ReadU16BE(index) : !ipma.ReadU8(narrow)) return false;
            index = wide_index ? index & 0x7FFF : narrow & 0x7F;
            if (item != id || index == 0) continue;
            ByteReader list = ipco, body;
            uint32_t type = 0;
            for (uint16_t i = 0; i < index; ++i) {
                if (!NextBox(list, type, body)) return false;
            }
            properties.emplace_back(type, body);
        }
        if (item == id) break;
    }
    // The size is the ispe's, and the transformations that follow it in the order change it.
    // Writers that follow the HEIF rules put ispe first, holding the coded size; libheif's own
    // writer puts it after irot (and clap), holding the size those give, and libheif reads it
    // this way.
    bool sized = false;
    for (auto& [type, body] : properties) {
        if (type == BoxType("ispe")) {
            if (!body.Skip(4) || !body.ReadU32BE(width) || !body.ReadU32BE(height)) return false;
            sized = true;
        } else if (type == BoxType("clap") && sized) {
            if (!CleanAperture(body, width, height)) return false;
        } else if (type == BoxType("irot") && sized) {
            uint8_t angle = 0;
            if (!body.ReadU8(angle)) return false;
            if (angle & 1) std::swap(width, height);
        }
    }
    return true;
}

struct HeifFree {
    void operator()(heif_context* p) const { heif_context_free(p); }
    void operator()(heif_image_handle* p) const { heif_image_handle_release(p); }
    void operator()(heif_image* p) const { heif_image_release(p); }
    void operator()(heif_decoding_options* p) const { heif_decoding_options_free(p); }
};
template <typename T>
using HeifPtr = std::unique_ptr<T, HeifFree>;

// libheif's plug-ins are registered once per process; never undone, as other threads may decode.
bool HeifReady() {
    static const bool ready = heif_init(nullptr).code == heif_error_Ok;
    return ready;
}

class HeifCodec final : public CodecBackend {
public:
    uint32_t Type() const override { return kTypeHeif; }
    bool Reads(uint32_t type) const override { return type == kTypeHeif || type == kTypeAvif; }

    bool Sniff(const uint8_t* p, size_t size) const override {
        return BrandType(p, size) != kTypeUnknown;
    }

    CodecStatus Decode(const uint8_t* data, size_t size, const DecodeRequest& request,
                       DibCanvas& canvas, DecodeResult& result) const override {
        const uint32_t type = BrandType(data, size);
        if (type == kTypeUnknown) return CodecStatus::NotThisFormat;
        if (request.frame < 0) return CodecStatus::NoFrame;
#ifdef ZEM_CODEC_AVIS
        if (type == kTypeAvif && IsAvifSequence(data, size)) {
            result.type = type;
            return ReadAvifSequence(data, size, request.frame, canvas, result, nullptr);
        }
#endif
        HeifPtr<heif_context> context;
        HeifPtr<heif_image_handle> handle;
        heif_item_id id = 0;
        int count = 0;
        CodecStatus status = OpenImage(data, size, request.frame, context, handle, id, count);
        if (status != CodecStatus::Ok) return status;
        status = DecodeHandle(data, size, handle.get(), id, canvas);
        if (status != CodecStatus::Ok) return status;
        result.type = type;
        result.frame_count = count;
        return CodecStatus::Ok;
    }

    // The thumbnail item of the chosen image (the smallest that qualifies), decoded with its
    // transformations as pictures are.
    CodecStatus DecodePreview(const uint8_t* data, size_t size, const DecodeRequest& request,
                              DibCanvas& canvas, DecodeResult& result) const override {
        const uint32_t type = BrandType(data, size);
        if (type == kTypeUnknown) return CodecStatus::NotThisFormat;
        if (request.frame < 0) return CodecStatus::NoFrame;
#ifdef ZEM_CODEC_AVIS
        // A sequence's frames carry no thumbnails: the host reads the frame itself.
        if (type == kTypeAvif && IsAvifSequence(data, size)) return CodecStatus::Unsupported;
#endif
        HeifPtr<heif_context> context;
        HeifPtr<heif_image_handle> handle;
        heif_item_id id = 0;
        int count = 0;
        CodecStatus status = OpenImage(data, size, request.frame, context, handle, id, count);
        if (status != CodecStatus::Ok) return status;
        result.type = type;
        result.frame_count = count;

        const int listed = heif_image_handle_get_number_of_thumbnails(handle.get());
        if (listed <= 0) return CodecStatus::Unsupported;
        std::vector<heif_item_id> ids(static_cast<size_t>(listed));
        const int got =
            heif_image_handle_get_list_of_thumbnail_IDs(handle.get(), ids.data(), listed);
        heif_item_id chosen = 0;
        uint64_t chosen_area = 0;
        for (int i = 0; i < got && i < listed; ++i) {
            const heif_item_id thumb_id = ids[static_cast<size_t>(i)];
            heif_image_handle* raw_thumb = nullptr;
            if (heif_image_handle_get_thumbnail(handle.get(), thumb_id, &raw_thumb).code !=
                heif_error_Ok) {
                continue;
            }
            HeifPtr<heif_image_handle> thumb(raw_thumb);
            uint32_t width = 0, height = 0;
            if (!thumb || !DeclaredSize(data, size, thumb.get(), thumb_id, width, height) ||
                !QualifiesAsPreview(width, height)) {
                continue;
            }
            const uint64_t area = uint64_t{width} * height;
            if (chosen == 0 || area < chosen_area) {
                chosen = thumb_id;
                chosen_area = area;
            }
        }
        // Thumbnails too small for a thumbnail pane, or none that can be opened: no preview.
        if (chosen == 0) return CodecStatus::Unsupported;
        heif_image_handle* raw_thumb = nullptr;
        status = FromHeifError(heif_image_handle_get_thumbnail(handle.get(), chosen, &raw_thumb));
        HeifPtr<heif_image_handle> thumb(raw_thumb);
        if (status != CodecStatus::Ok) return status;
        if (!thumb) return CodecStatus::Broken;
        status = CheckStoredSize(thumb.get());
        if (status == CodecStatus::Ok) {
            status = DecodeHandle(data, size, thumb.get(), chosen, canvas);
        }
        if (status != CodecStatus::Ok) canvas.Reset();
        return status;
    }

    CodecStatus ReadHeader(const uint8_t* data, size_t size, const DecodeRequest&,
                     PictureHeader& header) const override {
        const uint32_t type = BrandType(data, size);
        if (type == kTypeUnknown) return CodecStatus::NotThisFormat;
#ifdef ZEM_CODEC_AVIS
        if (type == kTypeAvif && IsAvifSequence(data, size)) {
            header.result.type = type;
            DibCanvas unused;
            return ReadAvifSequence(data, size, 0, unused, header.result, &header);
        }
#endif
        HeifPtr<heif_context> context;
        HeifPtr<heif_image_handle> handle;
        heif_item_id id = 0;
        int count = 0;
        const CodecStatus status = OpenImage(data, size, 0, context, handle, id, count);
        if (status != CodecStatus::Ok) return status;
        if (!DeclaredSize(data, size, handle.get(), id, header.width, header.height)) {
            return CodecStatus::Broken;
        }
        header.bit_count = heif_image_handle_has_alpha_channel(handle.get()) != 0 ? 32 : 24;
        header.result.type = type;
        header.result.frame_count = count;
        return CodecStatus::Ok;
    }

    // The colours of image `frame` (of the track, for a sequence): its ICC profile, which
    // describes the RGB colours where there is one, else its nclx codes; neither: sRGB.
    void ReadDescription(const uint8_t* data, size_t size, int32_t frame, bool want_icc,
                         PictureMetadata& out) const override {
        const uint32_t type = BrandType(data, size);
        if (!want_icc || type == kTypeUnknown || frame < 0) return;
#ifdef ZEM_CODEC_AVIS
        if (type == kTypeAvif && IsAvifSequence(data, size)) {
            ReadAvifSequenceColours(data, size, out);
            return;
        }
#endif
        HeifPtr<heif_context> context;
        HeifPtr<heif_image_handle> handle;
        heif_item_id id = 0;
        int count = 0;
        if (OpenImage(data, size, frame, context, handle, id, count) != CodecStatus::Ok) return;
        const size_t icc_size = heif_image_handle_get_raw_color_profile_size(handle.get());
        if (icc_size > 0 && icc_size <= kMaxProfile) {
            out.icc.resize(icc_size);
            if (heif_image_handle_get_raw_color_profile(handle.get(), out.icc.data()).code ==
                heif_error_Ok) {
                return;
            }
            out.icc.clear();
        }
        heif_color_profile_nclx* nclx = nullptr;
        if (heif_image_handle_get_nclx_color_profile(handle.get(), &nclx).code != heif_error_Ok ||
            !nclx) {
            return;
        }
        TakeDecodedCicp(out, static_cast<uint8_t>(nclx->color_primaries),
                        static_cast<uint8_t>(nclx->transfer_characteristics),
                        static_cast<uint8_t>(nclx->matrix_coefficients),
                        nclx->full_range_flag ? 1 : 0, true);
        heif_nclx_color_profile_free(nclx);
    }

private:
    static constexpr size_t kMaxProfile = size_t{64} << 20;  // larger ones are not believed

    // Decodes one image item (an image or a thumbnail) with its transformations into `canvas`.
    static CodecStatus DecodeHandle(const uint8_t* data, size_t size, heif_image_handle* handle,
                                    heif_item_id id, DibCanvas& canvas) {
        CodecStatus status = CodecStatus::Ok;
        const bool alpha = heif_image_handle_has_alpha_channel(handle) != 0;
        HeifPtr<heif_decoding_options> options(heif_decoding_options_alloc());
        if (!options) return CodecStatus::NoMemory;
        // clap, irot and imir define the image in HEIF: applied, as libheif does by default.
        options->ignore_transformations = 0;
        options->convert_hdr_to_8bit = 1;
        heif_image* raw_image = nullptr;
        status = FromHeifError(heif_decode_image(
            handle, &raw_image, heif_colorspace_RGB,
            alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB, options.get()));
        HeifPtr<heif_image> image(raw_image);
        if (status != CodecStatus::Ok) return status;
        if (!image) return CodecStatus::Broken;

        const int width = heif_image_get_width(image.get(), heif_channel_interleaved);
        const int height = heif_image_get_height(image.get(), heif_channel_interleaved);
        int src_stride = 0;
        const uint8_t* plane =
            heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &src_stride);
        const int channels = alpha ? 4 : 3;
        if (!plane || width <= 0 || height <= 0 || src_stride < width * channels ||
            heif_image_get_bits_per_pixel_range(image.get(), heif_channel_interleaved) != 8) {
            return CodecStatus::Broken;
        }
        // A coded picture of another size than the file's properties declare (damage in one
        // or the other) is not the image the file describes.
        uint32_t declared_width = 0, declared_height = 0;
        if (!DeclaredSize(data, size, handle, id, declared_width, declared_height) ||
            static_cast<uint32_t>(width) != declared_width ||
            static_cast<uint32_t>(height) != declared_height) {
            return CodecStatus::Broken;
        }
        status = canvas.Create(static_cast<uint32_t>(width), static_cast<uint32_t>(height),
                               alpha ? 32 : 24);
        if (status != CodecStatus::Ok) return status;
        // libheif's RGB(A) rows into the DIB's BGR(A) order: this copy is the back end's only
        // cost beyond libheif's own decode.
        for (int y = 0; y < height; ++y) {
            const uint8_t* src = plane + static_cast<ptrdiff_t>(src_stride) * y;
            uint8_t* dst = canvas.Row(static_cast<uint32_t>(y));
            if (alpha) {
                SwapRedBlue<4>(src, dst, static_cast<uint32_t>(width));
            } else {
                SwapRedBlue<3>(src, dst, static_cast<uint32_t>(width));
            }
        }
        return CodecStatus::Ok;
    }


    // The image's size after its transformations: the stored size (ispe) through the item's
    // properties; without an ispe, the handle's.
    static bool DeclaredSize(const uint8_t* data, size_t size, heif_image_handle* handle,
                             heif_item_id id, uint32_t& width, uint32_t& height) {
        width = height = 0;
        if (!TransformedSize(data, size, id, width, height)) return false;
        if (width == 0 || height == 0) {
            const int w = heif_image_handle_get_width(handle);
            const int h = heif_image_handle_get_height(handle);
            if (w <= 0 || h <= 0) return false;
            width = static_cast<uint32_t>(w);
            height = static_cast<uint32_t>(h);
        }
        return true;
    }

    // The context over the bytes and the handle of top-level image `frame` (0: the primary
    // image, the others in libheif's order after it), its stored size checked.
    static CodecStatus OpenImage(const uint8_t* data, size_t size, int32_t frame,
                                 HeifPtr<heif_context>& context, HeifPtr<heif_image_handle>& handle,
                                 heif_item_id& id, int& count) {
        if (!HeifReady()) return CodecStatus::Unsupported;
        context.reset(heif_context_alloc());
        if (!context) return CodecStatus::NoMemory;
        CodecStatus status = FromHeifError(
            heif_context_read_from_memory_without_copy(context.get(), data, size, nullptr));
        if (status != CodecStatus::Ok) return status;

        count = heif_context_get_number_of_top_level_images(context.get());
        if (count <= 0) return CodecStatus::Broken;
        if (frame >= count) return CodecStatus::NoFrame;
        id = 0;
        status = FromHeifError(heif_context_get_primary_image_ID(context.get(), &id));
        if (status != CodecStatus::Ok) return status;
        if (frame > 0) {
            std::vector<heif_item_id> ids(static_cast<size_t>(count));
            const int listed =
                heif_context_get_list_of_top_level_image_IDs(context.get(), ids.data(), count);
            // The primary image is frame 0; the others keep their order after it.
            int index = 0;
            bool found = false;
            for (int i = 0; i < listed && !found; ++i) {
                if (ids[static_cast<size_t>(i)] == id) continue;
                if (++index == frame) {
                    id = ids[static_cast<size_t>(i)];
                    found = true;
                }
            }
            if (!found) return CodecStatus::NoFrame;
        }
        heif_image_handle* raw_handle = nullptr;
        status = FromHeifError(heif_context_get_image_handle(context.get(), id, &raw_handle));
        handle.reset(raw_handle);
        if (status != CodecStatus::Ok) return status;
        if (!handle) return CodecStatus::Broken;

        return CheckStoredSize(handle.get());
    }

    // The stored size of an image item, checked before libheif allocates the planes for it.
    static CodecStatus CheckStoredSize(heif_image_handle* handle) {
        int declared_width = heif_image_handle_get_ispe_width(handle);
        int declared_height = heif_image_handle_get_ispe_height(handle);
        if (declared_width <= 0 || declared_height <= 0) {
            declared_width = heif_image_handle_get_width(handle);
            declared_height = heif_image_handle_get_height(handle);
        }
        if (declared_width <= 0 || declared_height <= 0) return CodecStatus::Broken;
        return CheckDeclaredSize(static_cast<uint64_t>(declared_width),
                                 static_cast<uint64_t>(declared_height));
    }
};

}  // namespace

const CodecBackend& HeifBackend() {
    static const HeifCodec backend;
    return backend;
}
