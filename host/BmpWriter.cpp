#include "BmpWriter.h"

#include "ByteReader.h"
#include "StagedFile.h"

bool PlanBmpFile(const uint8_t* dib, size_t size, BmpFilePlan& plan, std::string& error) {
    plan = BmpFilePlan();
    DibMeasures m;
    if (!dib || !MeasureDib(dib, size, m)) {
        error = "the packed DIB cannot be measured (bad header length or width)";
        return false;
    }
    if (m.kind == 0) {
        error = "a DIB header of " + std::to_string(m.header_size) +
                " bytes is not one this host writes (12, 40, 108 or 124 bytes)";
        return false;
    }
    if (m.total_size > size) {
        error = "the block (" + std::to_string(size) + " bytes) is shorter than the DIB it " +
                "describes (" + std::to_string(m.total_size) + " bytes)";
        return false;
    }
    const uint64_t file_size = m.total_size + kFileHeaderSize;
    if (file_size > UINT32_MAX) {
        error = "the DIB is too large for a BMP file";
        return false;
    }
    const uint64_t off_bits = kFileHeaderSize + m.HeaderPartSize();
    uint8_t* h = plan.file_header;
    h[0] = 'B';  // bfType
    h[1] = 'M';
    ByteReader::StoreU32LE(h + 2, static_cast<uint32_t>(file_size));  // bfSize
    ByteReader::StoreU16LE(h + 6, 0);                                 // bfReserved1
    ByteReader::StoreU16LE(h + 8, 0);                                 // bfReserved2
    ByteReader::StoreU32LE(h + 10, static_cast<uint32_t>(off_bits));  // bfOffBits
    plan.dib_bytes = static_cast<size_t>(m.total_size);
    return true;
}

bool WriteBmpFile(const std::string& path, const uint8_t* dib, size_t size, std::string& error) {
    BmpFilePlan plan;
    if (!PlanBmpFile(dib, size, plan, error)) return false;
    StagedFile out(path);
    if (!out.Open(error)) return false;
    if (!out.Write(plan.file_header, sizeof plan.file_header) || !out.Write(dib, plan.dib_bytes)) {
        error = "cannot write " + path + " (disk full?)";
        return false;
    }
    return out.Commit(error);
}
