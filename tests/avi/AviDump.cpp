// Writes what the AVIFile interface answers for each AVI file of a folder: the file and stream
// records, lengths, starts, key frames, the getter's default output format and every frame by
// sample number. Built natively over the stand-in and for Windows over avifil32, from this one
// source, so that avi_compare_dumps can set the two side by side.
// Usage: avi_dump FIXTURE_DIR OUT_DIR [NAME...]   (NAME without .avi; all files when none)
// For NAME.avi it writes OUT_DIR/NAME.txt and OUT_DIR/NAME-sS-fF.dib (stream S, sample F).
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "DibHelpers.h"
#include "platform/com.h"
#include "platform/platform.h"
// Last: <windows.h> defines the BI_ constants as macros, which DibHelpers.h names in an enum.
#include "AviApi.h"

namespace {

template <class Text>
std::string Narrow(const Text* text, size_t capacity) {
    std::string out;
    for (size_t i = 0; i < capacity && text[i]; ++i) {
        const auto unit = static_cast<unsigned>(text[i]);
        out += unit < 0x80 ? static_cast<char>(unit) : '?';
    }
    return out;
}

std::string FourCC(DWORD v) {
    std::string s;
    for (int i = 0; i < 4; ++i) {
        const char c = static_cast<char>((v >> (8 * i)) & 0xFF);
        s += (c >= 32 && c < 127) ? c : '.';
    }
    return s;
}

bool WriteBytes(const std::string& path, const void* data, size_t size) {
    platform::OutputFile out;
    const std::wstring wide = platform::AnsiToWide(path.c_str());
    return out.Create(wide.c_str()) && out.Write(data, size) && out.Close();
}

void DumpStream(FILE* txt, PAVISTREAM stream, LONG number, const std::string& prefix) {
    AVISTREAMINFOW si;
    std::memset(&si, 0, sizeof si);
    const HRESULT rc = AVIStreamInfoW(stream, &si, sizeof si);
    std::fprintf(txt,
                 "stream %ld info rc=%ld type=%s handler=%s flags=%lu caps=%lu priority=%u "
                 "language=%u scale=%lu rate=%lu start=%lu length=%lu initial=%lu "
                 "buffer=%lu quality=%ld samplesize=%lu frame=%ld,%ld,%ld,%ld edits=%lu "
                 "formatchanges=%lu name=\"%s\"\n",
                 static_cast<long>(number), static_cast<long>(rc), FourCC(si.fccType).c_str(),
                 FourCC(si.fccHandler).c_str(), static_cast<unsigned long>(si.dwFlags),
                 static_cast<unsigned long>(si.dwCaps), si.wPriority, si.wLanguage,
                 static_cast<unsigned long>(si.dwScale), static_cast<unsigned long>(si.dwRate),
                 static_cast<unsigned long>(si.dwStart), static_cast<unsigned long>(si.dwLength),
                 static_cast<unsigned long>(si.dwInitialFrames),
                 static_cast<unsigned long>(si.dwSuggestedBufferSize),
                 static_cast<long>(static_cast<int32_t>(si.dwQuality)),
                 static_cast<unsigned long>(si.dwSampleSize), static_cast<long>(si.rcFrame.left),
                 static_cast<long>(si.rcFrame.top), static_cast<long>(si.rcFrame.right),
                 static_cast<long>(si.rcFrame.bottom), static_cast<unsigned long>(si.dwEditCount),
                 static_cast<unsigned long>(si.dwFormatChangeCount),
                 Narrow(si.szName, 64).c_str());
    const LONG length = AVIStreamLength(stream);
    const LONG start = AVIStreamStart(stream);
    std::fprintf(txt, "stream %ld length=%ld start=%ld\n", static_cast<long>(number),
                 static_cast<long>(length), static_cast<long>(start));
    if (si.fccType != streamtypeVIDEO) return;
    std::fprintf(txt, "stream %ld keys", static_cast<long>(number));
    for (LONG i = start; i < start + length && i < start + 400; ++i) {
        std::fprintf(txt, " %ld", static_cast<long>(AVIStreamFindSample(stream, i, FIND_KEY | FIND_NEXT)));
    }
    std::fprintf(txt, "\n");
    PGETFRAME getter = AVIStreamGetFrameOpen(stream, nullptr);
    std::fprintf(txt, "stream %ld getter=%s\n", static_cast<long>(number), getter ? "yes" : "no");
    if (!getter) return;
    for (LONG i = start; i < start + length && i < start + 400; ++i) {
        const void* frame = AVIStreamGetFrame(getter, i);
        if (!frame) {
            std::fprintf(txt, "stream %ld frame %ld none\n", static_cast<long>(number),
                         static_cast<long>(i));
            continue;
        }
        BITMAPINFOHEADER h;
        std::memcpy(&h, frame, sizeof h);
        const int64_t total = DibTotalSize(frame);
        std::fprintf(txt,
                     "stream %ld frame %ld header size=%lu width=%ld height=%ld planes=%u "
                     "bits=%u compression=%s sizeimage=%lu xppm=%ld yppm=%ld used=%lu "
                     "important=%lu total=%lld\n",
                     static_cast<long>(number), static_cast<long>(i),
                     static_cast<unsigned long>(h.biSize), static_cast<long>(h.biWidth),
                     static_cast<long>(h.biHeight), h.biPlanes, h.biBitCount,
                     FourCC(h.biCompression).c_str(), static_cast<unsigned long>(h.biSizeImage),
                     static_cast<long>(h.biXPelsPerMeter), static_cast<long>(h.biYPelsPerMeter),
                     static_cast<unsigned long>(h.biClrUsed),
                     static_cast<unsigned long>(h.biClrImportant), static_cast<long long>(total));
        if (total > 0) {
            WriteBytes(prefix + "-s" + std::to_string(number) + "-f" + std::to_string(i) + ".dib",
                       frame, static_cast<size_t>(total));
        }
    }
    AVIStreamGetFrameClose(getter);
}

void DumpFile(const std::string& path, const std::string& prefix) {
    FILE* txt = std::fopen((prefix + ".txt").c_str(), "w");
    if (!txt) return;
    PAVIFILE file = nullptr;
    const std::wstring wide = platform::AnsiToWide(path.c_str());
    const HRESULT open_rc = AVIFileOpenW(&file, wide.c_str(), OF_READ, nullptr);
    std::fprintf(txt, "open %s\n", open_rc == 0 ? "ok" : "failed");
    if (open_rc == 0) {
        AVIFILEINFOW fi;
        std::memset(&fi, 0, sizeof fi);
        const HRESULT rc = AVIFileInfoW(file, &fi, sizeof fi);
        std::fprintf(txt,
                     "file rc=%ld maxbytes=%lu flags=%lu caps=%lu streams=%lu buffer=%lu "
                     "width=%lu height=%lu scale=%lu rate=%lu length=%lu edits=%lu type=\"%s\"\n",
                     static_cast<long>(rc), static_cast<unsigned long>(fi.dwMaxBytesPerSec),
                     static_cast<unsigned long>(fi.dwFlags), static_cast<unsigned long>(fi.dwCaps),
                     static_cast<unsigned long>(fi.dwStreams),
                     static_cast<unsigned long>(fi.dwSuggestedBufferSize),
                     static_cast<unsigned long>(fi.dwWidth), static_cast<unsigned long>(fi.dwHeight),
                     static_cast<unsigned long>(fi.dwScale), static_cast<unsigned long>(fi.dwRate),
                     static_cast<unsigned long>(fi.dwLength),
                     static_cast<unsigned long>(fi.dwEditCount), Narrow(fi.szFileType, 64).c_str());
        for (LONG i = 0;; ++i) {
            PAVISTREAM stream = nullptr;
            if (AVIFileGetStream(file, &stream, 0, i) != 0) break;
            DumpStream(txt, stream, i, prefix);
            AVIStreamRelease(stream);
        }
        AVIFileRelease(file);
    }
    std::fclose(txt);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: avi_dump FIXTURE_DIR OUT_DIR [NAME...]\n");
        return 2;
    }
    const platform::ComScope com;
    std::vector<std::string> names;
    for (int i = 3; i < argc; ++i) names.push_back(std::string(argv[i]) + ".avi");
    if (names.empty() && !platform::ListFiles(argv[1], ".avi", names)) names.clear();
    if (names.empty()) {
        std::fprintf(stderr, "avi_dump: no AVI files in %s\n", argv[1]);
        return 1;
    }
    for (const std::string& name : names) {
        const std::string stem = name.substr(0, name.size() - 4);
        DumpFile(std::string(argv[1]) + "/" + name, std::string(argv[2]) + "/" + stem);
    }
    return 0;
}
