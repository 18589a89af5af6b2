// PNG output of a converted DIB, behind one small interface so that each platform can supply
// its own encoder: libpng (on Windows too, linked statically), or the Windows Imaging Component's
// PNG encoder in a Windows build without the codec libraries.
#pragma once

#include <string>

#include "DibImage.h"

struct PngSettings {
    // zlib level, 0 to 9. Low levels write at about the speed of a decode; an encoder that
    // chooses its own (Windows') ignores it.
    int level = 2;
    // Show how far a large write has got on standard error.
    bool show_progress = false;
};

// True when this build can write PNG files.
bool PngOutputAvailable();

// True when the encoder follows PngSettings::level.
bool PngLevelHonoured();

// Writes `image` as an 8-bit RGB or RGBA PNG at `path` (native encoding); nothing is left there
// on failure.
[[nodiscard]] bool WritePngFile(const std::string& path, const DibImage& image,
                                const PngSettings& settings, std::string& error);

// Reports progress of a large write on standard error: "writing NAME: 40 %", overwritten in
// place, and cleared at the end. Pictures below a few megapixels show nothing.
class WriteProgress {
public:
    WriteProgress(const std::string& path, uint64_t pixels, bool enabled);
    ~WriteProgress();
    WriteProgress(const WriteProgress&) = delete;
    WriteProgress& operator=(const WriteProgress&) = delete;
    void Rows(uint32_t done, uint32_t total);

private:
    std::string m_path;
    bool m_enabled;
    int m_shown = -1;
};
