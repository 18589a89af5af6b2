// One frame of an AVI file's first video stream, through the AVIFile interface, as a packed DIB.
// Only file sources: the interface opens files by name.
#pragma once

#include <cstdint>

#include "ImageFileBase.h"

class AviFile : public ImageFileBase {
public:
    int32_t ReadPictureFromFile() override;
    int32_t ReadInfoFromFile() override;

    // -p (1..100): p per cent of the stream's length after its start; below -100: 50 per cent;
    // s >= 0: s seconds after the start.
    void SetFramePosition(int32_t position) { m_framePosition = position; }
    int32_t FramePosition() const { return m_framePosition; }
    // A preview: the key frame at or before 10 per cent of the stream, whatever the position.
    void SetPreview(bool preview) { m_preview = preview; }

private:
    int32_t m_framePosition = -1;
    bool m_preview = false;
};

// The key frame that a position selects, for a stream of `length` samples from `start` at
// `rate` / `scale` samples per second (1 when `scale` is 0). Per-cent positions land on the last
// sample at most; a time past the end has no target (false).
bool AviTargetSample(int32_t frame_position, int64_t start, int64_t length, uint32_t rate,
                     uint32_t scale, int64_t& target);

// Which key frame a query returns: the one that a position selects (at or after it, else the
// last before it), or the preview's (at or before 10 per cent, else the first frame).
enum class AviPick { Position, Preview };

// Opens the file, finds its first video stream and returns the key frame that `frame_position`
// selects, copied into a movable block; null when there is none.
SpiHandle AviFrameQuery(const wchar_t* file_name, int32_t frame_position,
                        AviPick pick = AviPick::Position);
