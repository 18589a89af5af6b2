#include "DibHelpers.h"

#include <cstdlib>

#include "ByteReader.h"
#include "Checked.h"

namespace {

int32_t KindForHeaderSize(uint32_t size) {
    switch (size) {
        case 12: return 2;
        case 40: return 3;
        case 108: return 4;
        case 124: return 5;
        default: return 0;
    }
}

}  // namespace

bool DibStrideFor(uint64_t bit_count, uint64_t width, uint64_t& stride) {
    uint64_t bits;
    if (!CheckedMul(bit_count, width, bits) || !CheckedAdd(bits, 31, bits)) return false;
    stride = bits / 32 * 4;
    return true;
}

void WriteInfoHeader(uint8_t* out, const InfoHeaderFields& f) {
    ByteReader::StoreU32LE(out + 0, kInfoHeaderSize);
    ByteReader::StoreU32LE(out + 4, static_cast<uint32_t>(f.width));
    ByteReader::StoreU32LE(out + 8, static_cast<uint32_t>(f.height));
    ByteReader::StoreU16LE(out + 12, 1);  // planes
    ByteReader::StoreU16LE(out + 14, f.bit_count);
    ByteReader::StoreU32LE(out + 16, f.compression);
    ByteReader::StoreU32LE(out + 20, f.size_image);
    ByteReader::StoreU32LE(out + 24, static_cast<uint32_t>(f.x_pels_per_meter));
    ByteReader::StoreU32LE(out + 28, static_cast<uint32_t>(f.y_pels_per_meter));
    ByteReader::StoreU32LE(out + 32, f.colors_used);
    ByteReader::StoreU32LE(out + 36, f.colors_important);
}

bool PlanNewDib(uint64_t width, uint64_t height, uint32_t bit_count, uint64_t colors,
                NewDibLayout& out) {
    out = NewDibLayout();
    uint64_t table = 0;
    if (!DibStrideFor(bit_count, width, out.stride) ||
        !CheckedMul(out.stride, height, out.image_size) || out.image_size > UINT32_MAX ||
        !CheckedMul(colors, 4, table) || !CheckedAdd(kInfoHeaderSize, table, out.header_part) ||
        !CheckedAdd(out.header_part, out.image_size, out.total_size) ||
        !FitsSizeT(out.total_size)) {
        return false;
    }
    return true;
}

bool MeasureDib(const uint8_t* header, size_t available, DibMeasures& out, bool allow_empty) {
    out = DibMeasures();
    if (!header || available < 4) return false;
    const uint32_t header_size = ByteReader::LoadU32LE(header);
    const int32_t kind = KindForHeaderSize(header_size);
    if (header_size < kCoreHeaderSize) return false;
    out.header_size = header_size;
    out.kind = kind;

    if (kind == 2) {
        // Core headers keep 16-bit width and height at 4 and 6 and the bit count at 10.
        if (available < kCoreHeaderSize) return false;
        out.width = ByteReader::LoadU16LE(header + 4);
        out.height = ByteReader::LoadU16LE(header + 6);
        out.bit_count = ByteReader::LoadU16LE(header + 10);
    } else {
        // Info-type headers, and headers of unknown length, which carry the same fields at the
        // same places; biClrUsed is read only from info-type headers.
        const size_t need = kind >= 3 ? 36 : 16;
        if (available < need || header_size < need) return false;
        out.width = ByteReader::LoadI32LE(header + 4);
        out.height = ByteReader::LoadI32LE(header + 8);
        out.bit_count = ByteReader::LoadU16LE(header + 14);
        if (kind >= 3) {
            out.compression = ByteReader::LoadU32LE(header + 16);
            out.size_image = ByteReader::LoadU32LE(header + 20);
        }
    }
    if (out.width < 0 || (out.width == 0 && !allow_empty)) return false;
    out.abs_height = static_cast<uint64_t>(std::llabs(static_cast<long long>(out.height)));

    if (!DibStrideFor(out.bit_count, static_cast<uint64_t>(out.width), out.stride)) return false;
    if (!CheckedMul(out.stride, out.abs_height, out.uncompressed_image_size)) return false;
    const uint32_t c = out.compression;
    const bool stored_size =
        kind >= 3 && (c == BI_RLE8 || c == BI_RLE4 || c == BI_JPEG || c == BI_PNG);
    out.image_size = stored_size ? out.size_image : out.uncompressed_image_size;

    const uint32_t clr_used = kind >= 3 ? ByteReader::LoadU32LE(header + 32) : 0;
    if (clr_used != 0) {
        out.color_count = clr_used;
    } else if (out.bit_count == 1 || out.bit_count == 4 || out.bit_count == 8) {
        out.color_count = uint64_t{1} << out.bit_count;
    }
    if (kind >= 3) {
        out.color_table_size = 4 * out.color_count + (c == BI_BITFIELDS ? 12 : 0);
    } else {
        out.color_table_size = 3 * out.color_count;
    }
    uint64_t total;
    if (!CheckedAdd(out.image_size, out.color_table_size, total) ||
        !CheckedAdd(total, header_size, total)) {
        return false;
    }
    out.total_size = total;
    return true;
}

namespace {

// A header readable to its full length: at least 40 bytes of fields for info types.
DibMeasures Measure(const void* header, bool& ok) {
    DibMeasures m;
    ok = MeasureDib(static_cast<const uint8_t*>(header), 124, m);
    return m;
}

}  // namespace

int64_t DibHeaderSize(const void* header) {
    return header ? ByteReader::LoadU32LE(static_cast<const uint8_t*>(header)) : 0;
}

int32_t DibHeaderKind(const void* header) {
    return header ? KindForHeaderSize(ByteReader::LoadU32LE(static_cast<const uint8_t*>(header)))
                  : 0;
}

#define PLUGIN_DIB_FIELD(name, expr)              \
    int64_t name(const void* header) {            \
        bool ok;                                  \
        DibMeasures m = Measure(header, ok);      \
        return ok ? static_cast<int64_t>(expr) : -1; \
    }

PLUGIN_DIB_FIELD(DibWidth, m.width)
PLUGIN_DIB_FIELD(DibHeight, m.height)
PLUGIN_DIB_FIELD(DibBitCount, m.bit_count)
PLUGIN_DIB_FIELD(DibRowStride, m.stride)
PLUGIN_DIB_FIELD(DibImageSize, m.image_size)
PLUGIN_DIB_FIELD(DibColorCount, m.color_count)
PLUGIN_DIB_FIELD(DibColorTableSize, m.color_table_size)
PLUGIN_DIB_FIELD(DibTotalSize, m.total_size)

#undef PLUGIN_DIB_FIELD
