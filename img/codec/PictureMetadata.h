// What a file says about how its pixels are to be shown, read from the bytes with bounded readers:
// the EXIF orientation (JPEG APP1, PNG eXIf, WebP EXIF, the TIFF Orientation tag) and the
// embedded ICC profile (JPEG APP2 chunks, PNG iCCP inflated with zlib, WebP ICCP, the TIFF ICC
// tag, JP2's colr box, PSD's resource 1039), or the CICP codes of PNG's cICP. Back ends whose
// libraries read more add it (CodecBackend::ReadDescription).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class ByteReader;

struct PictureMetadata {
    uint8_t orientation = 0;  // EXIF 1..8; 0 when the file names none (or an invalid value)
    std::vector<uint8_t> icc;
    // A CICP colour description (PNG cICP: primaries, transfer, matrix, full range), which
    // rules over a profile: with want_icc, `icc` then holds a profile built from it, or is
    // empty for sRGB's own codes, or colours_unknown is set (codes not converted here).
    bool has_cicp = false;
    uint8_t cicp[4] = {};
    bool colours_unknown = false;
};

// Reads the metadata of a file of `type` (a codec type code); `frame` picks the TIFF page.
// `want_icc` false skips the profile. Formats that keep neither leave `out` empty.
void ReadPictureMetadata(const uint8_t* data, size_t size, uint32_t type, int32_t frame,
                         bool want_icc, PictureMetadata& out);

// IFD0's Orientation of an EXIF block (the TIFF structure after "Exif\0\0"); 0 when absent.
uint8_t ExifOrientation(const uint8_t* tiff, size_t size);

// HEIF and AVIF: the colour property (colr) of the primary item, an ICC profile or else nclx
// codes (resolved as by TakeDecodedCicp), added to `out`. For readers without libheif
// (zemhost's info); the codec layer reads these through its libraries, which also know the
// other items and AVIF sequences.
void ReadHeifColours(const uint8_t* data, size_t size, PictureMetadata& out);

// Colours that a decoder has already brought from YCbCr to RGB with the matrix and range of
// CICP codes (HEIF's and AVIF's nclx): the codes kept in `out`, and with `want_icc` the
// primaries and transfer still to convert resolved as for PNG's cICP (into a profile, sRGB's
// own, or colours_unknown).
void TakeDecodedCicp(PictureMetadata& out, uint8_t primaries, uint8_t transfer, uint8_t matrix,
                     uint8_t full_range, bool want_icc);

// The data of the first "8BIM" image resource of this id in a PSD or PSB file's image resources
// section (its body): each block is the signature, the id, a Pascal name padded to an even
// length, a length and the data, padded likewise. False when there is none, or when a block
// before it runs past the section.
bool FindPsdResource(ByteReader resources, uint16_t id, ByteReader& found);
