// The back ends' single instances. Each lives in its own unit (<Name>Codec.cpp).
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
const CodecBackend& WicBackend();
const CodecBackend& TgaBackend();
