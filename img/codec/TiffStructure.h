// Bounded readers of the TIFF structure that EXIF data and TIFF files share, for the pictures
// that a file holds for thumbnails: the EXIF thumbnail of a JPEG (IFD1's JPEGInterchangeFormat
// and JPEGInterchangeFormatLength) and the reduced-resolution pages and SubIFDs of a TIFF file.
// Every offset and length is checked against the bytes before it is followed; an IFD chain that
// loops or runs long is cut.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "CodecBackend.h"

// What the first four bytes of a file say of its TIFF structure: "II" with 42 stored
// little-endian or "MM" with 42 stored big-endian is a classic TIFF (32-bit offsets); the same
// marks with 43 are a BigTIFF (64-bit offsets). Both are TIFF files; libtiff reads both.
enum class TiffSignature { None, Classic, Big };
TiffSignature ReadTiffSignature(const uint8_t* data, size_t size);
inline bool IsTiffSignature(const uint8_t* data, size_t size) {
    return ReadTiffSignature(data, size) != TiffSignature::None;
}

// A bounded view of a classic TIFF structure in either byte order. It does not read BigTIFF:
// its 64-bit offsets and 20-byte entries are another layout, so Init refuses it, and what is
// read through this view (orientation, profile, resolution, thumbnails) is then not found.
class TiffView {
public:
    TiffView(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    // True for a classic TIFF whose header is whole; false for anything else, BigTIFF
    // included.
    bool Init();
    bool U16(uint64_t at, uint32_t& out) const;
    bool U32(uint64_t at, uint32_t& out) const;
    const uint8_t* Data() const { return m_data; }
    size_t Size() const { return m_size; }

private:
    const uint8_t* m_data;
    size_t m_size;
    bool m_big = false;
};

// X and Y resolution of IFD0 in dots per inch; false when the structure names none.
bool ExifResolution(const uint8_t* tiff, size_t size, double& x_dpi, double& y_dpi);

enum class ThumbnailSearch { None, Damaged, Found };

// The EXIF thumbnail of a JPEG file: the bytes that IFD1 of its first APP1 "Exif" segment
// points at. Damaged when IFD1 names a thumbnail that lies outside the segment or is no JPEG.
ThumbnailSearch FindExifThumbnail(const uint8_t* jpeg, size_t size, const uint8_t*& thumb,
                                  size_t& thumb_size);

// A picture that stands for a page of a TIFF file in a thumbnail pane.
struct TiffPreviewCandidate {
    enum class Kind { Page, SubIfd, Jpeg } kind = Kind::Page;
    uint32_t page = 0;   // Page: the directory's index in the chain
    uint64_t ifd = 0;    // SubIfd: the directory's offset
    uint32_t width = 0;  // Jpeg: 0 until its header is read
    uint32_t height = 0;
    const uint8_t* jpeg = nullptr;  // Jpeg: the embedded JPEG (JPEGInterchangeFormat)
    size_t jpeg_size = 0;
};

// The candidates for page `frame` (a directory of the chain): its SubIFDs whose
// NewSubfileType has bit 0 (reduced resolution), the reduced-resolution directories that follow
// it in the chain up to the next full page, and the JPEG thumbnails that these point at (the
// directory after the page holding one, as IFD1 does in EXIF, counts as the page's). False when the
// structure cannot be read.
bool TiffPreviewCandidates(const uint8_t* data, size_t size, uint32_t frame,
                           std::vector<TiffPreviewCandidate>& out);

// The smallest candidate whose long side qualifies (PreviewRules.h); JPEG candidates are measured
// by `jpeg`'s header read, and those it cannot read are passed over. False when none qualifies.
bool SmallestQualifying(std::vector<TiffPreviewCandidate>& candidates, const CodecBackend* jpeg,
                        TiffPreviewCandidate& chosen);
