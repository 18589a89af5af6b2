// The format class of dshowsrc: one frame of a video file's first video stream, taken at a chosen
// time through the media detector (or, for a preview, the key frame at or before 10 % of the
// stream's length), and that stream's size, compression code and length. It reads no byte of
// the file itself; containers and codecs are the detector's business.
#pragma once

#include <cstdint>

#include "ImageFileBase.h"

class DswFile : public ImageFileBase {
public:
    // The frame at framePosition (the preview, when SetPreview chose it) as a packed DIB in the
    // result DIB; -1 when there is none.
    int32_t ReadPictureFromFile() override;
    // Width, height, compression code and length of the first video stream described by a
    // VIDEOINFOHEADER; 0, or -1 when there is no such stream.
    int32_t ReadInfoFromFile() override;

    // Grabs the frame: a movable block holding the detector's packed DIB followed by at least
    // 128 spare bytes, or null. The block passes to the caller.
    static SpiHandle DswFrameQuery(const wchar_t* file_name, int32_t frame_position);

    // The preview in the same form: the key frame at or before 10 % of the stream's length
    // (kPreviewFramePosition; the first frame when there is none), whole size, which decodes
    // alone. Where the detector cannot tell key frames (the system's detector), our own graph
    // asks the file's parser for it, over the graph's own length; a parser that seeks exactly
    // (Wine's) gives the frame showing at 10 %.
    static SpiHandle DswPreviewQuery(const wchar_t* file_name);

    // The time in seconds at which a frame is taken: p > 0 is p seconds (the middle of the stream
    // when p lies beyond its length), 0 the start, -1..-100 that per cent of the length and any
    // value below -100 the middle.
    static double FramePositionToTime(int32_t frame_position, double length);

    double StreamLength() const { return m_streamLength; }
    uint32_t VideoCompression() const { return m_videoCompression; }
    int32_t FramePosition() const { return m_framePosition; }
    void SetFramePosition(int32_t position) { m_framePosition = position; }
    void SetPreview(bool preview) { m_preview = preview; }

private:
    double m_streamLength = 0.0;
    uint32_t m_videoCompression = 0;
    int32_t m_framePosition = 0;
    bool m_preview = false;
};
