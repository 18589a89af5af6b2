// zemhost info: what the answering plug-in's information read knows of each file, from the
// file's headers; the preview's size with --preview, and an image's size with --image.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>

#include "CodecTypes.h"
#include "ColourManage.h"
#include "Commands.h"
#include "DibHelpers.h"
#include "FailureText.h"
#include "PictureMetadata.h"
#include "PluginCalls.h"
#include "ResultText.h"
#include "VideoRotation.h"

namespace {

const char* const kOrientationWords[9] = {"",
                                          "as stored",
                                          "mirrored",
                                          "turned half round",
                                          "flipped top to bottom",
                                          "transposed",
                                          "turned a quarter clockwise",
                                          "transversed",
                                          "turned a quarter anticlockwise"};

// The bytes of the source as the plug-in sees them (from the offset on); false when the file
// cannot be mapped.
bool SourceBytes(const PictureSource& source, platform::FileView& view, const uint8_t*& data,
                 size_t& size) {
    if (source.Flag() == SPI_SRC_MEMORY) {
        data = reinterpret_cast<const uint8_t*>(source.Buffer());
        size = static_cast<size_t>(source.Length());
        return data != nullptr;
    }
    if (!view.Open(platform::AnsiToWide(source.Path().c_str()).c_str()) ||
        view.Size() < source.Offset() || view.Size() - source.Offset() > SIZE_MAX) {
        return false;
    }
    data = view.Data() + source.Offset();
    size = static_cast<size_t>(view.Size() - source.Offset());
    return true;
}

// The orientation and the colour profile that the file names, read from its bytes, and what
// the plug-in made of them (the options it honoured).
void PrintPictureMetadata(const PictureSource& source, uint32_t type, uint32_t honoured) {
    platform::FileView view;
    const uint8_t* data = nullptr;
    size_t size = 0;
    if (!SourceBytes(source, view, data, size)) return;
    PictureMetadata meta;
    ReadPictureMetadata(data, size, type, 0, true, meta);
    if (type == kTypeHeif || type == kTypeAvif) ReadHeifColours(data, size, meta);
    if (meta.orientation != 0) {
        std::printf("orientation:   %u (%s)%s\n", static_cast<unsigned>(meta.orientation),
                    kOrientationWords[meta.orientation],
                    meta.orientation == 1          ? ""
                    : (honoured & kPictureUpright) ? ", shown upright"
                                                   : ", shown as stored");
    }
    if (meta.colours_unknown && meta.has_cicp) {
        std::printf("colours:       CICP %u/%u/%u/%u, not converted\n", meta.cicp[0], meta.cicp[1],
                    meta.cicp[2], meta.cicp[3]);
    } else if (meta.colours_unknown) {
        std::printf("colours:       a colour space named by the file, not converted\n");
    }
    if (!meta.icc.empty()) {
        std::string name = ProfileDescription(meta.icc.data(), meta.icc.size());
        if (name.empty()) name = "unnamed";
        std::printf("profile:       %s (%zu bytes)%s\n", name.c_str(), meta.icc.size(),
                    (honoured & kPictureSrgb) ? ", converted to sRGB" : "");
    }
}

std::string FourCc(uint32_t code) {
    std::string s;
    for (int i = 0; i < 4; ++i) {
        const char c = static_cast<char>((code >> (8 * i)) & 0xFF);
        if (c < 0x20 || c >= 0x7F) return {};
        s += c;
    }
    return " '" + s + "'";
}

// The fields that each kind of plug-in fills in the information record, so that info prints
// those and no zeros that mean "not known".
struct InfoFields {
    bool depth, densities, comment, stream, type_and_frames;
};

InfoFields FieldsOf(PluginFamily family) {
    switch (family) {
        case PluginFamily::MultiFormat:
            return {true, true, false, false, true};
        case PluginFamily::Gif:
            return {true, true, true, false, false};
        case PluginFamily::Video:
            return {false, false, false, true, false};
        case PluginFamily::Avi:
            return {true, false, false, true, false};
        case PluginFamily::Generic:
            break;
    }
    return {true, true, false, false, false};
}

// Prints the information of one file; false, with the reason on standard error, on failure.
bool InfoOne(const PluginSet& plugins, const HostOptions& options, const std::string& path) {
    std::string error;
    PictureSource source;
    if (!source.Open(path, options, error)) {
        Fail("info " + path + ": " + error);
        return false;
    }
    const std::vector<HostPlugin*> candidates = CandidatePlugins(plugins, options, path, error);
    if (candidates.empty()) {
        Fail("info " + path + ": " + error);
        return false;
    }
    const HostPlugin& plugin = *candidates[0];
    const InfoReading info = ReadInfo(plugin, source, options.type, PictureOptionBits(options));
    if (info.code != SPI_OK) {
        Fail("info " + path + ": " + ExplainFailure(info.code, plugin, source, options));
        return false;
    }
    const PictureInfoRecord& record = info.record;
    const InfoFields fields = FieldsOf(plugin.family);
    std::printf("file:          %s\n", path.c_str());
    std::printf("plug-in:       %s\n", plugin.name.c_str());
    std::printf("size:          %d x %d%s\n", record.width, record.height,
                record.height < 0 ? " (rows top-down)" : "");
    if (fields.depth && record.colorDepth != 0) {
        std::printf("depth:         %u bit%s per pixel\n", static_cast<unsigned>(record.colorDepth),
                    record.colorDepth == 1 ? "" : "s");
    }
    if (fields.densities && (record.xDensity != 0 || record.yDensity != 0)) {
        std::printf("densities:     %u x %u%s\n", static_cast<unsigned>(record.xDensity),
                    static_cast<unsigned>(record.yDensity),
                    plugin.family == PluginFamily::MultiFormat ? " dots per inch" : "");
    }
    if (info.has_comment) {
        std::printf("comment:       \"%s\"\n", info.comment.c_str());
    } else if (fields.comment) {
        std::printf("comment:       none\n");
    }
    const double length = info.StreamLength();
    const auto codec = info.Field<uint32_t>(offsetof(PictureInfoRecord, codec));
    if (fields.stream && length > 0) std::printf("stream length: %g s\n", length);
    if (fields.stream && codec != 0) {
        std::printf("codec:         0x%08X%s\n", codec, FourCc(codec).c_str());
    }
    if (fields.stream) {
        // Players turn such clips as they show them; the plug-in's frames come as stored.
        platform::FileView view;
        const uint8_t* data = nullptr;
        size_t size = 0;
        const int rotation =
            SourceBytes(source, view, data, size) ? Mp4DisplayRotation(data, size) : -1;
        if (rotation > 0) {
            std::printf("rotation:      %d degrees clockwise (display matrix; frames as stored)\n",
                        rotation);
        }
    }
    if (fields.type_and_frames) {
        std::printf("image type:    %u (%s)\n", info.ImageType(),
                    TypeLabel(info.ImageType()).c_str());
        std::printf("frame count:   %u\n", info.FrameCount());
        PrintPictureMetadata(source, info.ImageType(), info.HonouredOptions());
    }
    // The preview, with --preview, from the plug-ins that can give one (bmpsrc and gifsrc
    // always decline): it costs a reduced decode, a key frame or a media graph, where the rest
    // reads headers only.
    if (options.preview &&
        (plugin.family == PluginFamily::MultiFormat || plugin.family == PluginFamily::Video ||
         plugin.family == PluginFamily::Avi)) {
        PictureRequestBlock block;
        bool has_block = FillRequestBlock(options, block);
        AddPictureOptions(PictureOptionBits(options), plugin, block, has_block);
        ReceivedDib preview;
        const int32_t code = RequestPicture(plugin, source, has_block ? &block : nullptr, false,
                                            preview, Export::Preview);
        std::string why;
        DibMeasures m;
        if (code == SPI_NOT_IMPLEMENTED) {
            std::printf("preview:       none\n");
        } else if (code != SPI_OK) {
            std::printf("preview:       unreadable: %s\n",
                        DescribeResult(code, plugin.family).c_str());
        } else if (preview.Assemble(why) && MeasureDib(preview.Data(), preview.Size(), m)) {
            std::printf("preview:       %u x %u, %u-bit\n", static_cast<unsigned>(m.width),
                        static_cast<unsigned>(m.abs_height), static_cast<unsigned>(m.bit_count));
        } else {
            std::printf("preview:       unreadable: the returned DIB cannot be measured\n");
        }
    }
    // --image N: that image itself, decoded, since the record describes the first one only.
    const std::optional<int32_t> index = options.image ? options.image : options.frame;
    if (index) {
        PictureRequestBlock block;
        bool has_block = FillRequestBlock(options, block);
        AddPictureOptions(PictureOptionBits(options), plugin, block, has_block);
        ReceivedDib dib;
        const int32_t code = RequestPicture(plugin, source, &block, false, dib);
        DibMeasures m;
        if (code != SPI_OK) {
            Fail("info " + path + ": " + ExplainFailure(code, plugin, source, options));
            return false;
        }
        if (!dib.Assemble(error) || !MeasureDib(dib.Data(), dib.Size(), m)) {
            Fail("info " + path + ": (" + plugin.name + ") the returned DIB cannot be measured");
            return false;
        }
        std::printf("image %d:%*s%u x %u, %u bit%s per pixel\n", *index,
                    *index < 10 ? 7 : (*index < 100 ? 6 : 1), "", static_cast<unsigned>(m.width),
                    static_cast<unsigned>(m.abs_height), static_cast<unsigned>(m.bit_count),
                    m.bit_count == 1 ? "" : "s");
    }
    return true;
}

}  // namespace

int RunInfo(const HostOptions& options) {
    PluginSet plugins;
    std::string dir;
    if (!LoadPlugins(options, plugins, dir)) return kExitFailure;
    bool all_ok = true;
    for (size_t i = 0; i < options.files.size(); ++i) {
        if (i > 0) std::printf("\n");
        if (!InfoOne(plugins, options, options.files[i])) all_ok = false;
        std::fflush(stdout);
    }
    return all_ok ? kExitOk : kExitFailure;
}
