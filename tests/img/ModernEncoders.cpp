#include "ModernEncoders.h"

#include <jxl/encode.h>
#include <libheif/heif.h>
#include <webp/encode.h>
#include <webp/mux.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

namespace modern_test {

namespace {

uint32_t NextRandom(uint32_t& state) {
    state = state * 1664525u + 1013904223u;
    return state >> 8;
}

}  // namespace

Raster PhotoLike(uint32_t width, uint32_t height, int channels, uint32_t seed, int bit_depth) {
    Raster r;
    r.width = width;
    r.height = height;
    r.channels = channels;
    r.bit_depth = bit_depth;
    const int max = (1 << bit_depth) - 1;
    const size_t sample_bytes = bit_depth > 8 ? 2 : 1;
    r.samples.resize(size_t{width} * height * static_cast<size_t>(channels) * sample_bytes);
    uint32_t state = seed * 2654435761u + 1;
    const double phase = (seed % 17) * 0.37;
    const bool alpha = channels == 2 || channels == 4;
    const int colours = alpha ? channels - 1 : channels;
    size_t at = 0;
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            const double u = width > 1 ? double(x) / (width - 1) : 0.5;
            const double v = height > 1 ? double(y) / (height - 1) : 0.5;
            const bool in_block = u > 0.6 && u < 0.85 && v > 0.2 && v < 0.5;
            for (int c = 0; c < channels; ++c) {
                double value;
                if (c == colours) {
                    value = in_block ? 1.0 : u * 0.8 + v * 0.2;  // alpha
                } else {
                    value = 0.5 + 0.35 * std::sin(6.0 * u + 2.1 * c + phase) *
                                      std::cos(4.0 * v - 1.3 * c);
                    if (in_block) value = 0.15 + 0.3 * c;
                    value += (static_cast<int>(NextRandom(state) % 9) - 4) / 255.0;
                }
                const int s = std::clamp(static_cast<int>(std::lround(value * max)), 0, max);
                if (sample_bytes == 2) {
                    r.samples[at++] = static_cast<uint8_t>(s);
                    r.samples[at++] = static_cast<uint8_t>(s >> 8);
                } else {
                    r.samples[at++] = static_cast<uint8_t>(s);
                }
            }
        }
    }
    return r;
}

Encoded EncodeWebp(const Raster& raster, bool lossless, float quality) {
    Encoded out;
    if (raster.bit_depth != 8 || (raster.channels != 3 && raster.channels != 4)) {
        out.error = "WebP takes 8-bit RGB or RGBA";
        return out;
    }
    const int w = static_cast<int>(raster.width);
    const int h = static_cast<int>(raster.height);
    const int stride = w * raster.channels;
    uint8_t* bytes = nullptr;
    size_t size = 0;
    if (raster.channels == 4) {
        size = lossless ? WebPEncodeLosslessRGBA(raster.samples.data(), w, h, stride, &bytes)
                        : WebPEncodeRGBA(raster.samples.data(), w, h, stride, quality, &bytes);
    } else {
        size = lossless ? WebPEncodeLosslessRGB(raster.samples.data(), w, h, stride, &bytes)
                        : WebPEncodeRGB(raster.samples.data(), w, h, stride, quality, &bytes);
    }
    if (size == 0) {
        out.error = "libwebp could not encode";
    } else {
        out.bytes.assign(bytes, bytes + size);
    }
    WebPFree(bytes);
    return out;
}

Encoded EncodeWebpAnimation(const std::vector<Raster>& frames, bool lossless) {
    Encoded out;
    if (frames.empty()) return out;
    const int w = static_cast<int>(frames[0].width);
    const int h = static_cast<int>(frames[0].height);
    WebPAnimEncoderOptions options;
    WebPConfig config;
    WebPPicture picture;
    if (!WebPAnimEncoderOptionsInit(&options) || !WebPConfigInit(&config) ||
        !WebPPictureInit(&picture)) {
        out.error = "libwebp version mismatch";
        return out;
    }
    config.lossless = lossless ? 1 : 0;
    config.quality = 75;
    std::unique_ptr<WebPAnimEncoder, void (*)(WebPAnimEncoder*)> encoder(
        WebPAnimEncoderNew(w, h, &options), WebPAnimEncoderDelete);
    picture.width = w;
    picture.height = h;
    picture.use_argb = 1;
    int timestamp = 0;
    bool ok = encoder != nullptr;
    for (const Raster& frame : frames) {
        if (!ok) break;
        const int stride = w * frame.channels;
        ok = frame.channels == 4 ? WebPPictureImportRGBA(&picture, frame.samples.data(), stride)
                                 : WebPPictureImportRGB(&picture, frame.samples.data(), stride);
        ok = ok && WebPAnimEncoderAdd(encoder.get(), &picture, timestamp, &config);
        timestamp += 100;
    }
    WebPPictureFree(&picture);
    WebPData data;
    WebPDataInit(&data);
    ok = ok && WebPAnimEncoderAdd(encoder.get(), nullptr, timestamp, nullptr) &&
         WebPAnimEncoderAssemble(encoder.get(), &data);
    if (ok) {
        out.bytes.assign(data.bytes, data.bytes + data.size);
    } else {
        out.error = encoder ? WebPAnimEncoderGetError(encoder.get()) : "no animation encoder";
    }
    WebPDataClear(&data);
    return out;
}

// ----------------------------------------------------------------------------------------------

const char* HeifCodecName(HeifCodec codec) { return codec == HeifCodec::Av1 ? "AV1" : "HEVC"; }

namespace {

heif_compression_format HeifFormat(HeifCodec codec) {
    return codec == HeifCodec::Av1 ? heif_compression_AV1 : heif_compression_HEVC;
}

heif_error WriteToVector(heif_context*, const void* data, size_t size, void* userdata) {
    auto* out = static_cast<std::vector<uint8_t>*>(userdata);
    const auto* p = static_cast<const uint8_t*>(data);
    out->insert(out->end(), p, p + size);
    return heif_error{heif_error_Ok, heif_suberror_Unspecified, "ok"};
}

bool HeifInit() {
    static const bool ready = heif_init(nullptr).code == heif_error_Ok;
    return ready;
}

}  // namespace

bool HeifEncoderAvailable(HeifCodec codec) {
    return HeifInit() && heif_have_encoder_for_format(HeifFormat(codec)) != 0;
}

Encoded EncodeHeif(HeifCodec codec, const std::vector<Raster>& images, int quality, bool lossless,
                   HeifShape shape) {
    Encoded out;
    if (!HeifInit()) {
        out.error = "heif_init failed";
        return out;
    }
    std::unique_ptr<heif_context, void (*)(heif_context*)> context(heif_context_alloc(),
                                                                   heif_context_free);
    heif_encoder* raw_encoder = nullptr;
    heif_error error =
        heif_context_get_encoder_for_format(context.get(), HeifFormat(codec), &raw_encoder);
    if (error.code != heif_error_Ok) {
        out.error = std::string("no ") + HeifCodecName(codec) + " encoder: " + error.message;
        return out;
    }
    std::unique_ptr<heif_encoder, void (*)(heif_encoder*)> encoder(raw_encoder,
                                                                   heif_encoder_release);
    heif_encoder_set_lossy_quality(encoder.get(), quality);
    heif_encoder_set_lossless(encoder.get(), lossless ? 1 : 0);
    for (const Raster& r : images) {
        // libheif 1.15's aom plug-in sets up 10-bit 4:2:0 wrongly (libaom asserts); 4:2:2 works.
        if (codec == HeifCodec::Av1) {
            heif_encoder_set_parameter_integer(encoder.get(), "speed", 8);
            heif_encoder_set_parameter_string(encoder.get(), "chroma",
                                              r.bit_depth == 10 ? "422" : "420");
        }
        const bool alpha = r.channels == 4;
        const bool deep = r.bit_depth > 8;
        const heif_chroma chroma =
            deep ? (alpha ? heif_chroma_interleaved_RRGGBBAA_LE : heif_chroma_interleaved_RRGGBB_LE)
                 : (alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB);
        heif_image* raw_image = nullptr;
        error = heif_image_create(static_cast<int>(r.width), static_cast<int>(r.height),
                                  heif_colorspace_RGB, chroma, &raw_image);
        std::unique_ptr<heif_image, void (*)(const heif_image*)> image(raw_image,
                                                                         heif_image_release);
        if (error.code == heif_error_Ok) {
            error = heif_image_add_plane(image.get(), heif_channel_interleaved,
                                         static_cast<int>(r.width), static_cast<int>(r.height),
                                         r.bit_depth);
        }
        if (error.code != heif_error_Ok) {
            out.error = error.message;
            return out;
        }
        int stride = 0;
        uint8_t* plane = heif_image_get_plane(image.get(), heif_channel_interleaved, &stride);
        const size_t row = size_t{r.width} * static_cast<size_t>(r.channels) * (deep ? 2 : 1);
        for (uint32_t y = 0; y < r.height; ++y) {
            std::memcpy(plane + static_cast<size_t>(stride) * y, r.samples.data() + row * y, row);
        }
        std::unique_ptr<heif_encoding_options, void (*)(heif_encoding_options*)> options(
            heif_encoding_options_alloc(), heif_encoding_options_free);
        std::unique_ptr<heif_color_profile_nclx, void (*)(heif_color_profile_nclx*)> nclx(
            shape.nclx[0] ? heif_nclx_color_profile_alloc() : nullptr,
            heif_nclx_color_profile_free);
        if (nclx) {
            nclx->color_primaries = static_cast<heif_color_primaries>(shape.nclx[0]);
            nclx->transfer_characteristics =
                static_cast<heif_transfer_characteristics>(shape.nclx[1]);
            nclx->matrix_coefficients = static_cast<heif_matrix_coefficients>(shape.nclx[2]);
            nclx->full_range_flag = static_cast<uint8_t>(shape.nclx[3]);
            heif_image_set_nclx_color_profile(image.get(), nclx.get());
            options->output_nclx_profile = nclx.get();
        }
        if (!shape.icc.empty()) {
            heif_image_set_raw_color_profile(image.get(), "prof", shape.icc.data(),
                                             shape.icc.size());
        }
        options->macOS_compatibility_workaround = shape.clap ? 0 : 1;
        options->image_orientation = static_cast<heif_orientation>(shape.orientation);
        heif_image_handle* handle = nullptr;
        error = heif_context_encode_image(context.get(), image.get(), encoder.get(), options.get(),
                                          &handle);
        for (size_t t = 0; t < shape.thumbnails.size() && error.code == heif_error_Ok; ++t) {
            heif_image_handle* thumb = nullptr;
            error = heif_context_encode_thumbnail(context.get(), image.get(), handle,
                                                  encoder.get(), options.get(),
                                                  shape.thumbnails[t], &thumb);
            if (thumb) heif_image_handle_release(thumb);
        }
        if (handle) heif_image_handle_release(handle);
        if (error.code != heif_error_Ok) {
            out.error = std::string(HeifCodecName(codec)) + " encoding: " + error.message;
            return out;
        }
    }
    heif_writer writer{1, WriteToVector};
    error = heif_context_write(context.get(), &writer, &out.bytes);
    if (error.code != heif_error_Ok) {
        out.bytes.clear();
        out.error = error.message;
    }
    return out;
}

// ----------------------------------------------------------------------------------------------

Encoded EncodeJxl(const std::vector<Raster>& frames, bool lossless, float distance, int effort,
                  bool p3, int orientation) {
    Encoded out;
    if (frames.empty()) return out;
    const Raster& first = frames[0];
    std::unique_ptr<JxlEncoder, void (*)(JxlEncoder*)> encoder(JxlEncoderCreate(nullptr),
                                                               JxlEncoderDestroy);
    const bool grey = first.channels <= 2;
    const bool alpha = first.channels == 2 || first.channels == 4;
    const bool deep = first.bit_depth > 8;
    JxlBasicInfo info;
    JxlEncoderInitBasicInfo(&info);
    info.xsize = first.width;
    info.ysize = first.height;
    info.bits_per_sample = static_cast<uint32_t>(first.bit_depth);
    info.num_color_channels = grey ? 1 : 3;
    info.num_extra_channels = alpha ? 1 : 0;
    info.alpha_bits = alpha ? info.bits_per_sample : 0;
    info.uses_original_profile = lossless ? JXL_TRUE : JXL_FALSE;
    info.orientation = static_cast<JxlOrientation>(orientation);
    if (frames.size() > 1) {
        info.have_animation = JXL_TRUE;
        info.animation.tps_numerator = 10;
        info.animation.tps_denominator = 1;
    }
    JxlColorEncoding colour;
    JxlColorEncodingSetToSRGB(&colour, grey ? JXL_TRUE : JXL_FALSE);
    if (p3) {
        colour.primaries = JXL_PRIMARIES_P3;
        colour.transfer_function = JXL_TRANSFER_FUNCTION_GAMMA;
        colour.gamma = 1 / 2.2;
    }
    if (JxlEncoderSetBasicInfo(encoder.get(), &info) != JXL_ENC_SUCCESS ||
        JxlEncoderSetColorEncoding(encoder.get(), &colour) != JXL_ENC_SUCCESS) {
        out.error = "libjxl refused the basic info";
        return out;
    }
    JxlEncoderFrameSettings* settings = JxlEncoderFrameSettingsCreate(encoder.get(), nullptr);
    JxlEncoderSetFrameLossless(settings, lossless ? JXL_TRUE : JXL_FALSE);
    if (!lossless) JxlEncoderSetFrameDistance(settings, distance);
    JxlEncoderFrameSettingsSetOption(settings, JXL_ENC_FRAME_SETTING_EFFORT, effort);
    const JxlPixelFormat format{static_cast<uint32_t>(first.channels),
                                deep ? JXL_TYPE_UINT16 : JXL_TYPE_UINT8, JXL_LITTLE_ENDIAN, 0};
    for (const Raster& frame : frames) {
        if (frames.size() > 1) {
            JxlFrameHeader header;
            JxlEncoderInitFrameHeader(&header);
            header.duration = 1;
            JxlEncoderSetFrameHeader(settings, &header);
        }
        if (JxlEncoderAddImageFrame(settings, &format, frame.samples.data(),
                                    frame.samples.size()) != JXL_ENC_SUCCESS) {
            out.error = "libjxl refused a frame";
            return out;
        }
    }
    JxlEncoderCloseInput(encoder.get());
    out.bytes.resize(4096);
    uint8_t* next = out.bytes.data();
    size_t avail = out.bytes.size();
    for (;;) {
        const JxlEncoderStatus status = JxlEncoderProcessOutput(encoder.get(), &next, &avail);
        if (status == JXL_ENC_SUCCESS) break;
        if (status != JXL_ENC_NEED_MORE_OUTPUT) {
            out.bytes.clear();
            out.error = "libjxl could not encode";
            return out;
        }
        const size_t used = static_cast<size_t>(next - out.bytes.data());
        out.bytes.resize(out.bytes.size() * 2);
        next = out.bytes.data() + used;
        avail = out.bytes.size() - used;
    }
    out.bytes.resize(static_cast<size_t>(next - out.bytes.data()));
    return out;
}

}  // namespace modern_test

// x265 and libaom keep a few small blocks for the life of the process once they have encoded
// (x265's per-depth globals, libaom's CPU tables). Only the tests encode, so leaks reported
// through those two libraries are theirs; the decoders' own libraries stay checked.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libx265.so\nleak:libaom.so\n";
}
