// Windows bitmap files and bare packed DIBs: read into a packed DIB (RLE bitmaps expanded), and
// written back out as BMP file images.
#pragma once

#include <cstddef>
#include <cstdint>

#include "BmpRle.h"
#include "DibHelpers.h"
#include "ImageFileBase.h"
#include "platform/platform.h"

class BmpFile : public ImageFileBase {
public:
    int32_t ReadPictureFromMemory() override;
    int32_t WritePictureToFile() override;
    int32_t WritePictureToMemory() override;
    int32_t ReadInfoFromMemory() override;
};

// Largest decoded RLE bitmap we build; RLE data can announce far more pixels than it carries.
constexpr uint64_t kMaxRleOutputBytes = uint64_t{1} << 30;

// The BITMAPFILEHEADER for a packed DIB; false when the DIB cannot be described in one.
bool BuildBmpFileHeader(const DibMeasures& m, uint8_t out[kFileHeaderSize]);

// Writes `dib` as a BMP file. A file that could not be opened is left alone; a file that was
// created or truncated and then not completed is deleted.
bool SaveDibAsBmpFile(const wchar_t* file_name, SpiHandle dib);
bool WriteBmpToFile(platform::OutputFile& file, SpiHandle dib);

// Expands a BI_RLE8 or BI_RLE4 bitmap into an uncompressed packed DIB that keeps the source's
// colour table. `header` is the measured source with `available` bytes readable. Null when the
// bitmap is not RLE, the output cannot be allocated, or (RleOverflow::Fail, bmpsrc's rule) the
// stream writes outside the pixel array.
SpiHandle DecompressRleDib(const uint8_t* header, size_t available, const DibMeasures& m,
                           RleOverflow overflow);
