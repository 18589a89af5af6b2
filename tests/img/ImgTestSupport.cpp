#include "ImgTestSupport.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>

#include "CxImage.h"
#include "DibImage.h"
#include "TestSupport.h"

namespace img_test {

const PluginModule& Imgsrc() {
    static testing_support::LoadedPlugin* plugin = new testing_support::LoadedPlugin("imgsrc");
    return plugin->module;
}

void TakeDib(SpiHandle dib, Picture& out) {
    out.dib = testing_support::HandleBytes(dib);
    testing_support::FreeHandle(dib);
    DibImage image;
    if (!image.Load(out.dib.data(), out.dib.size(), out.error)) return;
    out.width = image.Width();
    out.height = image.Height();
    out.bit_count = static_cast<uint16_t>(image.Measures().bit_count);
    out.has_alpha = image.HasAlpha();
    std::memcpy(&out.x_ppm, out.dib.data() + 24, 4);
    std::memcpy(&out.y_ppm, out.dib.data() + 28, 4);
    const std::vector<uint8_t> rows = image.ConvertAll();
    out.rgba = ToRgba(rows, static_cast<int>(image.Channels()));
}

namespace {

Picture Read(const std::vector<uint8_t>& bytes, int32_t frame, int32_t scale, uint32_t type,
             bool preview) {
    Picture out;
    PictureRequestBlock block{};
    std::memcpy(block.tag, "zem", 3);
    block.field44 = scale;
    block.field48 = frame;
    block.field56 = static_cast<int32_t>(type);
    SpiHandle dib = nullptr;
    auto bits = reinterpret_cast<SpiHandle>(static_cast<intptr_t>(SPI_PACKED_DIB_MARKER));
    out.result = (preview ? Imgsrc().GetPreview : Imgsrc().GetPicture)(
        reinterpret_cast<const char*>(bytes.data()), static_cast<SpiLength>(bytes.size()),
        SPI_SRC_MEMORY, &dib, &bits, nullptr, reinterpret_cast<SpiUserData>(&block));
    out.type_back = static_cast<uint32_t>(block.field56);
    if (!dib) return out;
    TakeDib(dib, out);
    // Every picture read of frame 0 in these suites checks the header read against it.
    if (!preview && frame == 0 && scale <= 1 && out.error.empty()) {
        EXPECT_TRUE(InfoAgrees(bytes, out, type));
    }
    return out;
}

}  // namespace

Picture Decode(const std::vector<uint8_t>& bytes, int32_t frame, int32_t scale, uint32_t type) {
    return Read(bytes, frame, scale, type, false);
}

Picture Preview(const std::vector<uint8_t>& bytes, int32_t frame) {
    return Read(bytes, frame, 1, 0, true);
}

::testing::AssertionResult InfoAgrees(const std::vector<uint8_t>& bytes, const Picture& picture,
                                      uint32_t type) {
    const Info info = GetInfo(bytes, type);
    const PictureInfoRecord& r = info.record;
    // The frame count comes from the codec layer's own decode, which reports it.
    CxImage decoded;
    const auto size = static_cast<uint32_t>(bytes.size());
    const bool ok = decoded.Decode(bytes.data(), size, type);
    auto ppm = [](int dpi) { return static_cast<int32_t>(std::lround(dpi / 0.0254)); };
    std::ostringstream s;
    if (info.result != 0) s << " info result " << info.result;
    if (r.width != static_cast<int32_t>(picture.width) ||
        r.height != static_cast<int32_t>(picture.height)) {
        s << " size " << r.width << "x" << r.height << ", picture " << picture.width << "x"
          << picture.height;
    }
    if (r.colorDepth != picture.bit_count) {
        s << " bits " << r.colorDepth << ", picture " << picture.bit_count;
    }
    if (ppm(r.xDensity) != picture.x_ppm || ppm(r.yDensity) != picture.y_ppm) {
        s << " density " << r.xDensity << "x" << r.yDensity << " dpi, picture " << picture.x_ppm
          << "x" << picture.y_ppm << " ppm";
    }
    if (r.imageType != picture.type_back) {
        s << " type " << r.imageType << ", picture " << picture.type_back;
    }
    if (!ok || r.frameCount != static_cast<uint32_t>(decoded.GetNumFrames())) {
        s << " frames " << r.frameCount << ", decode " << (ok ? decoded.GetNumFrames() : -1);
    }
    if (s.str().empty()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "header read disagrees:" << s.str();
}

Info GetInfo(const std::vector<uint8_t>& bytes, uint32_t type) {
    Info out;
    out.record.imageType = type;
    out.result = Imgsrc().GetPictureInfo(reinterpret_cast<const char*>(bytes.data()),
                                         static_cast<SpiLength>(bytes.size()), SPI_SRC_MEMORY,
                                         &out.record);
    return out;
}

std::vector<uint8_t> ToRgba(const std::vector<uint8_t>& pixels, int channels) {
    if (channels == 4) return pixels;
    const size_t n = pixels.size() / static_cast<size_t>(channels);
    std::vector<uint8_t> out(n * 4);
    for (size_t i = 0; i < n; ++i) {
        const uint8_t* p = pixels.data() + i * static_cast<size_t>(channels);
        uint8_t* q = out.data() + i * 4;
        if (channels >= 3) {
            q[0] = p[0], q[1] = p[1], q[2] = p[2];
        } else {
            q[0] = q[1] = q[2] = p[0];
        }
        q[3] = channels == 2 ? p[1] : 255;
    }
    return out;
}

::testing::AssertionResult SameRgba(const Picture& got, const std::vector<uint8_t>& want,
                                    uint32_t want_width, uint32_t want_height, int tolerance) {
    if (got.result != 0) {
        return ::testing::AssertionFailure() << "GetPicture returned " << got.result;
    }
    if (!got.error.empty()) return ::testing::AssertionFailure() << got.error;
    if (got.width != want_width || got.height != want_height) {
        return ::testing::AssertionFailure() << "size " << got.width << "x" << got.height
                                             << ", want " << want_width << "x" << want_height;
    }
    if (want.size() != got.rgba.size()) {
        return ::testing::AssertionFailure() << "reference holds " << want.size() << " bytes";
    }
    for (size_t i = 0; i < want.size(); ++i) {
        if (std::abs(int{got.rgba[i]} - int{want[i]}) > tolerance) {
            const size_t pixel = i / 4;
            std::ostringstream s;
            s << "pixel (" << pixel % want_width << ", " << pixel / want_width << ") channel "
              << i % 4 << ": got " << int{got.rgba[i]} << ", want " << int{want[i]};
            return ::testing::AssertionFailure() << s.str();
        }
    }
    return ::testing::AssertionSuccess();
}

}  // namespace img_test
