// Sets the answers of the AVIFile stand-in beside those of avifil32 under Wine, for the same
// files (two folders written by avi_dump), and lists every difference. Differences that are
// known faults of Wine, and decoders that Wine does not have, are reported and allowed; any
// other difference fails.
// Usage: avi_compare_dumps NATIVE_DIR WINE_DIR    Exit: 0 same, 1 different, 77 nothing to compare
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace {

std::vector<std::string> Lines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();  // written in text mode
        lines.push_back(line);
    }
    return lines;
}

std::vector<uint8_t> Bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
}

// What a line answers: "file", "stream 1 info", "stream 1 frame 7" and so on.
std::string Tag(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w.substr(0, w.find('=')));
    if (words.empty()) return "";
    if (words[0] != "stream" || words.size() < 3) return words[0];
    std::string tag = "stream " + words[1] + " " + words[2];
    if (words[2] == "frame" && words.size() > 3) tag += " " + words[3];
    return tag;
}

// A record line with the parts that are each implementation's own taken out: the file type
// text, and the number in a generated stream name (Wine numbers every stream "#0").
std::string Normalised(std::string line) {
    const size_t type = line.find(" type=\"");
    if (type != std::string::npos) line.erase(type, line.find('"', type + 7) + 1 - type);
    const size_t hash = line.rfind(" #");
    if (hash != std::string::npos && line.find("name=\"") != std::string::npos) {
        size_t end = hash + 2;
        while (end < line.size() && isdigit(static_cast<unsigned char>(line[end]))) ++end;
        line.erase(hash + 2, end - hash - 2);
    }
    return line;
}

struct Report {
    int failures = 0;
    std::map<std::string, int> allowed;  // kind of known difference -> count
    void Fail(const std::string& file, const std::string& what) {
        ++failures;
        std::printf("DIFFERENT %s: %s\n", file.c_str(), what.c_str());
    }
    void Allow(const std::string& file, const std::string& kind, const std::string& what) {
        if (allowed[kind]++ < 3) std::printf("known     %s: %s (%s)\n", file.c_str(), what.c_str(), kind.c_str());
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: avi_compare_dumps NATIVE_DIR WINE_DIR\n");
        return 2;
    }
    const std::string native_dir = argv[1], wine_dir = argv[2];
    std::vector<std::string> names;
    if (!platform::ListFiles(wine_dir, ".txt", names) || names.empty()) {
        std::printf("SKIPPED: no answers of avifil32 under Wine in %s\n", wine_dir.c_str());
        return 77;
    }
    Report report;
    int frames_compared = 0;
    for (const std::string& name : names) {
        const std::string stem = name.substr(0, name.size() - 4);
        const std::vector<std::string> native = Lines(native_dir + "/" + name);
        const std::vector<std::string> wine = Lines(wine_dir + "/" + name);
        if (native.empty()) {
            report.Fail(stem, "no answers of the stand-in");
            continue;
        }
        std::map<std::string, std::string> by_tag;
        for (const std::string& line : native) by_tag[Tag(line)] = line;
        std::map<std::string, bool> raw_stream, wine_getter;
        for (const std::string& w : wine) {
            const std::string tag = Tag(w);
            auto it = by_tag.find(tag);
            if (tag == "ended") {
                report.Allow(stem, "Wine's avifil32 hangs or crashes", w);
                continue;
            }
            if (it == by_tag.end()) {
                report.Fail(stem, "only Wine answers \"" + w + "\"");
                continue;
            }
            const std::string& n = it->second;
            std::istringstream words(tag);
            std::string kind, stream_no, what, frame_no;
            words >> kind >> stream_no >> what >> frame_no;
            (void)kind;
            const std::string stream_key = stream_no;
            if (what == "info" && n.find("handler=DIB ") != std::string::npos) {
                raw_stream[stream_key] = true;
            }
            if (what == "info" && (n.find("type=vids") != std::string::npos)) {
                raw_stream[stream_key] = raw_stream[stream_key] ||
                                         n.find("handler=....") != std::string::npos;
            }
            if (what == "keys") {
                if (n != w) report.Allow(stem, "Wine's FIND_KEY sees only frame 0", "key frames");
                continue;
            }
            if (what == "getter") {
                wine_getter[stream_key] = w.find("=yes") != std::string::npos;
                if (n != w && w.find("=no") != std::string::npos) {
                    report.Allow(stem, "Wine has no decoder", "stream " + stream_no);
                    continue;
                }
            }
            if (what == "frame") {
                const bool raw = n.find("compression=....") != std::string::npos;
                if (n != w) {
                    report.Fail(stem, "\"" + n + "\" but Wine: \"" + w + "\"");
                    continue;
                }
                const std::string file = "/" + stem + "-s" + stream_no + "-f" + frame_no + ".dib";
                const std::vector<uint8_t> a = Bytes(native_dir + file), b = Bytes(wine_dir + file);
                if (raw && frame_no != "0" && a != b) {
                    report.Allow(stem, "Wine returns frame 0 of DIB streams",
                                 "frame " + frame_no);
                    continue;
                }
                ++frames_compared;
                if (a.size() != b.size()) {
                    report.Fail(stem, "frame " + frame_no + " sizes differ");
                    continue;
                }
                size_t differing = 0;
                int largest = 0;
                for (size_t i = 0; i < a.size(); ++i) {
                    const int d = std::abs(a[i] - b[i]);
                    if (d) ++differing;
                    if (d > largest) largest = d;
                }
                if (differing) {
                    report.Fail(stem, "frame " + frame_no + ": " + std::to_string(differing) +
                                          " bytes differ, by up to " + std::to_string(largest));
                }
                continue;
            }
            if (n != w && Normalised(n) == Normalised(w)) {
                report.Allow(stem, "file type text or stream number in a name", tag);
                continue;
            }
            if (n != w) report.Fail(stem, "\"" + n + "\" but Wine: \"" + w + "\"");
        }
        (void)wine_getter;
    }
    std::printf("%zu files, %d frames compared pixel for pixel, %d differences", names.size(),
                frames_compared, report.failures);
    for (const auto& [kind, count] : report.allowed) std::printf("; %s: %d", kind.c_str(), count);
    std::printf("\n");
    return report.failures ? 1 : 0;
}
