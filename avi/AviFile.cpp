#include "AviFile.h"

#include <climits>
#include <cstring>
#include <new>

#include "Checked.h"
#include "DibHelpers.h"
#include "FramePosition.h"
#include "GlobalBlock.h"
// Last: <windows.h> defines the BI_ constants as macros, which DibHelpers.h names in an enum.
#include "AviApi.h"

namespace {

// Each AVIFile object held by the query, released in reverse order of acquisition, also when
// an exception leaves one of the calls.
struct FileRef {
    PAVIFILE p = nullptr;
    ~FileRef() {
        if (p) AVIFileRelease(p);
    }
};
struct StreamRef {
    PAVISTREAM p = nullptr;
    ~StreamRef() {
        if (p) AVIStreamRelease(p);
    }
};
struct GetterRef {
    PGETFRAME p = nullptr;
    ~GetterRef() {
        if (p) AVIStreamGetFrameClose(p);
    }
};

constexpr LONG kFindKeyNext = FIND_KEY | FIND_NEXT;
constexpr LONG kFindKeyPrev = FIND_KEY | FIND_PREV;

// Copies the frame that the getter owns into a new movable block of exactly its size.
// A frame that the interface hands over still compressed (no decompressor, as Wine does for
// codecs it lacks) has no measurable size beyond what its header claims, and no host could show
// it: only uncompressed and RLE frames are pictures.
SpiHandle CopyFrame(const void* frame, HRESULT& cause) {
    cause = AVIERR_BADFORMAT;
    DibMeasures m;
    if (!MeasureDib(static_cast<const uint8_t*>(frame), kInfoHeaderSize, m) ||
        !FitsSizeT(m.total_size) || m.total_size == 0) {
        return nullptr;
    }
    if (m.compression != BI_RGB && m.compression != BI_BITFIELDS && m.compression != BI_RLE8 &&
        m.compression != BI_RLE4) {
        return nullptr;
    }
    cause = AVIERR_MEMORY;
    OwnedHandle block = OwnedHandle::Allocate(static_cast<size_t>(m.total_size), false);
    if (!block) return nullptr;
    {
        ScopedLock lock(block.Get());
        if (!lock) return nullptr;
        std::memcpy(lock.Data(), frame, static_cast<size_t>(m.total_size));
    }
    cause = AVIERR_OK;
    return block.Release();
}

SpiHandle QueryStream(PAVISTREAM stream, const AVISTREAMINFOW& info, int32_t frame_position,
                      AviPick pick, HRESULT& cause) {
    // The getter's functions answer with a pointer alone: their failures carry no cause.
    cause = AVIERR_ERROR;
    GetterRef getter;
    getter.p = AVIStreamGetFrameOpen(stream, nullptr);
    if (!getter.p) return nullptr;
    // A preview is taken at a key frame, so that one frame is decoded.
    if (pick == AviPick::Preview) frame_position = kPreviewFramePosition;
    int64_t target = 0;
    if (!AviTargetSample(frame_position, AVIStreamStart(stream), AVIStreamLength(stream),
                         info.dwRate, info.dwScale, target)) {
        return nullptr;
    }
    const auto at = static_cast<LONG>(target);
    LONG sample = -1;
    if (pick == AviPick::Preview) {
        // The key frame at or before the target, which decodes alone; the first frame when
        // the index marks none there.
        sample = AVIStreamFindSample(stream, at, kFindKeyPrev);
        if (sample < 0) sample = AVIStreamStart(stream);
    } else {
        sample = AVIStreamFindSample(stream, at, kFindKeyNext);
        // A stream whose last key frame lies before the target (only its first frame may be
        // one) still shows the nearest key frame before it.
        if (sample < 0) sample = AVIStreamFindSample(stream, at, kFindKeyPrev);
    }
    if (sample < 0) return nullptr;
    const void* frame = AVIStreamGetFrame(getter.p, sample);
    return frame ? CopyFrame(frame, cause) : nullptr;
}

}  // namespace

bool AviTargetSample(int32_t frame_position, int64_t start, int64_t length, uint32_t rate,
                     uint32_t scale, int64_t& target) {
    int64_t offset = 0;
    if (frame_position < 0) {
        const int64_t per_cent = frame_position < -100 ? 50 : -static_cast<int64_t>(frame_position);
        offset = length * per_cent / 100;
        // 100 per cent means the last frame, not the one past it.
        if (length > 0 && offset >= length) offset = length - 1;
    } else {
        const uint64_t per_second =
            scale == 0 ? 1 : static_cast<uint64_t>(static_cast<double>(rate) / scale);
        // At most 2^32 frames per second times 2^31 seconds: the product fits 63 bits.
        offset = static_cast<int64_t>(per_second * static_cast<uint64_t>(frame_position));
        if (offset >= length) return false;
    }
    target = start + offset;
    if (target > INT32_MAX) target = INT32_MAX;
    if (target < INT32_MIN) target = INT32_MIN;
    return true;
}

namespace {

// Opens the file read-only with the interface's own choice of handler and reads its header;
// the interface's result.
HRESULT OpenFile(const wchar_t* file_name, FileRef& file, AVIFILEINFOW& info) {
    const HRESULT opened = AVIFileOpenW(&file.p, file_name, OF_READ, nullptr);
    if (opened != AVIERR_OK) {
        file.p = nullptr;  // a failed open leaves nothing to release
        return opened;
    }
    std::memset(&info, 0, sizeof info);
    return AVIFileInfoW(file.p, &info, sizeof info);
}

// Which read a result ends.
enum class AviRead { Info, Picture };

// The one table from the AVIFile interface's results to avisrc's codes. The design gives each
// read one failure code whatever the cause (AVIERR_MEMORY included): 2 for the information
// read, 3 for the picture read.
int32_t ResultOf(HRESULT cause, AviRead read) {
    if (cause == AVIERR_OK) return SPI_OK;
    return read == AviRead::Info ? SPI_UNKNOWN_FORMAT : SPI_BROKEN_DATA;
}

// AviFrameQuery; `cause` gets the interface's result when there is no frame (AVIERR_ERROR where
// the interface answers with a null pointer only, AVIERR_MEMORY for the block).
SpiHandle FrameQuery(const wchar_t* file_name, int32_t frame_position, AviPick pick,
                     HRESULT& cause) {
    SpiHandle result = nullptr;
    cause = AVIERR_NODATA;  // no video stream
    try {
        FileRef file;
        AVIFILEINFOW file_info;
        cause = OpenFile(file_name, file, file_info);
        if (cause != AVIERR_OK) return nullptr;
        cause = AVIERR_NODATA;
        for (DWORD i = 0; i < file_info.dwStreams; ++i) {
            StreamRef stream;
            if (AVIFileGetStream(file.p, &stream.p, 0, static_cast<LONG>(i)) != 0) {
                stream.p = nullptr;
                continue;
            }
            AVISTREAMINFOW info;
            std::memset(&info, 0, sizeof info);
            if (AVIStreamInfoW(stream.p, &info, sizeof info) != 0) continue;
            if (info.fccType != streamtypeVIDEO) continue;
            // The first video stream ends the search, whatever comes of it.
            result = QueryStream(stream.p, info, frame_position, pick, cause);
            break;
        }
    } catch (const std::bad_alloc&) {
        cause = AVIERR_MEMORY;
    } catch (...) {
        // Every object held was released on the way out; what was gathered stands.
        cause = AVIERR_ERROR;
    }
    return result;
}

}  // namespace

SpiHandle AviFrameQuery(const wchar_t* file_name, int32_t frame_position, AviPick pick) {
    HRESULT cause = AVIERR_OK;
    return FrameQuery(file_name, frame_position, pick, cause);
}

int32_t AviFile::ReadPictureFromFile() {
    HRESULT cause = AVIERR_OK;
    m_resultDib = FrameQuery(m_fileName, m_framePosition,
                             m_preview ? AviPick::Preview : AviPick::Position, cause);
    return ResultOf(m_resultDib ? AVIERR_OK : cause, AviRead::Picture);
}

int32_t AviFile::ReadInfoFromFile() {
    FileRef file;
    AVIFILEINFOW info;
    const HRESULT opened = OpenFile(m_fileName, file, info);
    if (opened != AVIERR_OK) return ResultOf(opened, AviRead::Info);
    m_width = static_cast<int32_t>(info.dwWidth);
    m_height = static_cast<int32_t>(info.dwHeight);
    return ResultOf(AVIERR_OK, AviRead::Info);
}
