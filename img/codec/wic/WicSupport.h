// What the Windows Imaging Component back end shares between decoding and encoding: the factory,
// the mapping of WIC's failures to codec statuses, and the type codes of WIC's containers. COM
// pointers and the apartment guard are the platform's (platform::ComPtr, platform::ComScope).
#pragma once

#include <windows.h>
#include <objbase.h>
#include <wincodec.h>

#include <cstddef>
#include <cstdint>

#include "CodecTypes.h"

namespace wic {

// A new imaging factory for this request; null (and `hr` set) when WIC is not available.
IWICImagingFactory* CreateFactory(HRESULT& hr);

// The codec status for a failed WIC call.
CodecStatus StatusOf(HRESULT hr);

// Our type code for a WIC container format; 0 for containers without one.
uint32_t TypeOfContainer(const GUID& container);
// The container WIC writes for a type code; null when WIC offers no encoder for it here.
const GUID* ContainerOfType(uint32_t type);

// What the other builds refuse before decoding, checked before WIC sees the bytes: a picture
// size in a JPEG (SOF) or PNG (IHDR) header beyond the codec layer's limit (NoMemory, before WIC
// allocates for it), and PNG critical chunks whose CRC does not match (Broken; WIC's PNG decoder
// may take them). Ok otherwise, and for other formats.
CodecStatus CheckBeforeDecoding(const uint8_t* data, size_t size);

}  // namespace wic
