// The back ends' single instances, each in its own unit (formats/<Name>Codec.cpp, wic/).
#pragma once

#include "CodecBackend.h"

const CodecBackend& BmpBackend();
const CodecBackend& GifBackend();
const CodecBackend& JpegBackend();
const CodecBackend& PngBackend();
const CodecBackend& RawBackend();
const CodecBackend& TiffBackend();
const CodecBackend& Jp2Backend();
const CodecBackend& PsdBackend();
const CodecBackend& WebpBackend();
const CodecBackend& HeifBackend();  // HEIF and AVIF
const CodecBackend& JxlBackend();
const CodecBackend& QoiBackend();
const CodecBackend& DdsBackend();
const CodecBackend& IcnsBackend();
const CodecBackend& IcoBackend();
const CodecBackend& PnmBackend();
const CodecBackend& PcxBackend();  // PCX and DCX
const CodecBackend& SgiBackend();
const CodecBackend& XpmBackend();
const CodecBackend& XbmBackend();
const CodecBackend& WbmpBackend();
const CodecBackend& SunRasterBackend();
const CodecBackend& HdrBackend();
const CodecBackend& PfmBackend();
const CodecBackend& WicBackend();
const CodecBackend& TgaBackend();
