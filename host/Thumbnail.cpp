#include "Thumbnail.h"

#include <algorithm>
#include <cstdint>

#include "DibHelpers.h"

ThumbnailSize FitWithin(uint32_t width, uint32_t height, uint32_t side) {
    const uint32_t longest = std::max(width, height);
    if (longest <= side || side == 0) return {width, height};
    auto scaled = [&](uint32_t v) {
        const uint64_t s = (uint64_t{v} * side + longest / 2) / longest;
        return static_cast<uint32_t>(std::max<uint64_t>(s, 1));
    };
    return {scaled(width), scaled(height)};
}

bool ShrinkToDib(const DibImage& image, ThumbnailSize size, std::vector<uint8_t>& dib,
                 std::string& error) {
    const uint32_t src_w = image.Width(), src_h = image.Height();
    const uint32_t w = size.width, h = size.height;
    if (w == 0 || h == 0 || w > src_w || h > src_h || w > 65535 || h > 65535) {
        error = "cannot reduce a " + std::to_string(src_w) + " x " + std::to_string(src_h) +
                " picture to " + std::to_string(w) + " x " + std::to_string(h);
        return false;
    }
    const bool alpha = image.HasAlpha();
    const size_t channels = image.Channels();
    const uint32_t out_bytes = alpha ? 4 : 3;
    const uint32_t header = kInfoHeaderSize;
    uint64_t stride = 0;
    if (!DibStrideFor(out_bytes * 8, w, stride)) {
        error = "cannot measure a thumbnail " + std::to_string(w) + " pixels wide";
        return false;
    }
    const uint64_t total = header + stride * h;
    if (total > SIZE_MAX) {
        error = "a thumbnail of " + std::to_string(w) + " x " + std::to_string(h) +
                " does not fit in memory";
        return false;
    }
    dib.assign(static_cast<size_t>(total), 0);
    uint8_t* p = dib.data();
    InfoHeaderFields fields;
    fields.width = static_cast<int32_t>(w);
    fields.height = static_cast<int32_t>(h);  // bottom-up
    fields.bit_count = static_cast<uint16_t>(out_bytes * 8);
    fields.size_image = static_cast<uint32_t>(stride * h);
    WriteInfoHeader(p, fields);

    // Source column x falls in output column x * w / src_w; likewise for rows. With the output
    // no larger than the source, every output pixel covers at least one source pixel.
    std::vector<uint32_t> column(src_w);
    std::vector<uint32_t> column_count(w, 0);
    for (uint32_t x = 0; x < src_w; ++x) {
        column[x] = static_cast<uint32_t>(uint64_t{x} * w / src_w);
        ++column_count[column[x]];
    }
    std::vector<uint8_t> row(image.RowBytes());
    std::vector<uint64_t> sums(size_t{w} * 4);
    uint32_t y = 0;
    for (uint32_t oy = 0; oy < h; ++oy) {
        std::fill(sums.begin(), sums.end(), 0);
        uint64_t rows = 0;
        for (; y < src_h && uint64_t{y} * h / src_h == oy; ++y, ++rows) {
            image.ConvertRow(y, row.data());
            const uint8_t* s = row.data();
            for (uint32_t x = 0; x < src_w; ++x, s += channels) {
                uint64_t* sum = &sums[size_t{column[x]} * 4];
                const uint64_t a = alpha ? s[3] : 1;
                sum[0] += s[0] * a;
                sum[1] += s[1] * a;
                sum[2] += s[2] * a;
                sum[3] += a;
            }
        }
        uint8_t* out = p + header + stride * (h - 1 - oy);
        for (uint32_t ox = 0; ox < w; ++ox, out += out_bytes) {
            const uint64_t* sum = &sums[size_t{ox} * 4];
            const uint64_t weight = sum[3];
            auto mean = [&](uint64_t channel) {
                return static_cast<uint8_t>(weight ? (channel + weight / 2) / weight : 0);
            };
            out[0] = mean(sum[2]);  // blue
            out[1] = mean(sum[1]);
            out[2] = mean(sum[0]);
            if (alpha) {
                const uint64_t pixels = rows * column_count[ox];
                out[3] = static_cast<uint8_t>((weight + pixels / 2) / pixels);
            }
        }
    }
    return true;
}
