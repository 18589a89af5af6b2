// The media detector on systems without DirectShow: the IMediaDet operations that dshowsrc uses,
// over libavformat and libavcodec (video::TimedMedia), with the detector's results. The streams
// are the file's audio and video streams in file order; a video stream is described by a
// VIDEOINFOHEADER, an audio stream by a WAVEFORMATEX; GetBitmapBits gives a BITMAPINFOHEADER
// and 24-bit bottom-up BGR rows of the frame showing at the requested time. It also answers
// IDswKeyFrames, for the previews.
#pragma once

#include <atomic>
#include <string>

#include "MediaDetApi.h"
#include "TimeSeek.h"

class MediaDet final : public IMediaDet, public IDswKeyFrames {
public:
    MediaDet() = default;
    MediaDet(const MediaDet&) = delete;
    MediaDet& operator=(const MediaDet&) = delete;

    HRESULT QueryInterface(const IID& iid, void** out) override;
    ULONG AddRef() override;
    ULONG Release() override;

    HRESULT get_Filter(IUnknown** filter) override;
    HRESULT put_Filter(IUnknown* filter) override;
    HRESULT get_OutputStreams(LONG* count) override;
    HRESULT get_CurrentStream(LONG* index) override;
    HRESULT put_CurrentStream(LONG index) override;
    HRESULT get_StreamType(GUID* major_type) override;
    HRESULT get_StreamTypeB(BSTR* major_type) override;
    HRESULT get_StreamLength(double* seconds) override;
    HRESULT get_Filename(BSTR* name) override;
    HRESULT put_Filename(BSTR name) override;
    HRESULT GetBitmapBits(double stream_time, LONG* buffer_size, char* buffer, LONG width,
                          LONG height) override;
    HRESULT WriteBitmapBits(double stream_time, LONG width, LONG height,
                            BSTR file_name) override;
    HRESULT get_StreamMediaType(DswMediaType* media_type) override;
    HRESULT GetSampleGrabber(IUnknown** grabber) override;
    HRESULT get_FrameRate(double* rate) override;
    HRESULT EnterBitmapGrabMode(double seek_time) override;

    HRESULT KeyFrameTime(double stream_time, double* key_time) override;

private:
    ~MediaDet() = default;
    // The current stream's facts, or null when no file is open.
    const video::StreamFacts* Current() const;

    std::atomic<ULONG> m_references{1};
    video::TimedMedia m_media;
    std::wstring m_fileName;
    LONG m_current = 0;
};
