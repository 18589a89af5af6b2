#include "GifComposition.h"

#include <algorithm>
#include <cstring>

#ifdef ZEM_HAVE_GIFLIB
#include <gif_lib.h>
#endif

namespace img_test {

RefPicture ComposeReference(int screen_width, int screen_height,
                            const std::vector<RefFrame>& frames, size_t frame) {
    if (!frames.empty() && (screen_width == 0 || screen_height == 0)) {
        screen_width = frames[0].left + frames[0].width;
        screen_height = frames[0].top + frames[0].height;
    }
    const auto w = static_cast<size_t>(screen_width);
    const auto h = static_cast<size_t>(screen_height);
    std::vector<uint8_t> screen(w * h * 4, 0);
    std::vector<uint8_t> before;
    for (size_t i = 0; i <= frame && i < frames.size(); ++i) {
        const RefFrame& f = frames[i];
        if (i > 0) {
            const RefFrame& p = frames[i - 1];
            if (p.disposal == 3) screen = before;
            for (int y = p.top; p.disposal == 2 && y < p.top + p.height; ++y) {
                for (int x = p.left; x < p.left + p.width; ++x) {
                    if (x < screen_width && y < screen_height) {
                        std::memset(&screen[(size_t(y) * w + size_t(x)) * 4], 0, 4);
                    }
                }
            }
        }
        before = screen;
        for (int y = 0; y < f.height; ++y) {
            for (int x = 0; x < f.width; ++x) {
                const int sx = f.left + x, sy = f.top + y;
                const uint8_t index = f.indices[size_t(y) * size_t(f.width) + size_t(x)];
                if (sx >= screen_width || sy >= screen_height || index == f.transparent) continue;
                uint8_t* out = &screen[(size_t(sy) * w + size_t(sx)) * 4];
                const bool known = size_t{index} * 3 + 2 < f.table.size();
                for (int c = 0; c < 3; ++c) out[c] = known ? f.table[index * 3u + c] : 0;
                out[3] = 255;
            }
        }
    }
    return RefPicture{static_cast<uint32_t>(w), static_cast<uint32_t>(h), screen};
}

#ifdef ZEM_HAVE_GIFLIB
namespace {
struct MemorySource {
    const std::vector<uint8_t>* bytes;
    size_t pos = 0;
};

int ReadFromMemory(GifFileType* gif, GifByteType* out, int n) {
    auto* src = static_cast<MemorySource*>(gif->UserData);
    const size_t take = std::min(src->bytes->size() - src->pos, static_cast<size_t>(n));
    std::memcpy(out, src->bytes->data() + src->pos, take);
    src->pos += take;
    return static_cast<int>(take);
}

std::vector<uint8_t> Table(const ColorMapObject* map) {
    std::vector<uint8_t> t;
    for (int i = 0; map && i < map->ColorCount; ++i) {
        t.insert(t.end(), {map->Colors[i].Red, map->Colors[i].Green, map->Colors[i].Blue});
    }
    return t;
}
}  // namespace

bool GiflibFrames(const std::vector<uint8_t>& bytes, int& screen_width, int& screen_height,
                  std::vector<RefFrame>& frames) {
    MemorySource src{&bytes};
    int error = 0;
    GifFileType* gif = DGifOpen(&src, ReadFromMemory, &error);
    if (!gif) return false;
    const bool ok = DGifSlurp(gif) == GIF_OK;
    screen_width = gif->SWidth;
    screen_height = gif->SHeight;
    for (int i = 0; ok && i < gif->ImageCount; ++i) {
        const SavedImage& s = gif->SavedImages[i];
        RefFrame f;
        f.left = s.ImageDesc.Left, f.top = s.ImageDesc.Top;
        f.width = s.ImageDesc.Width, f.height = s.ImageDesc.Height;
        f.indices.assign(s.RasterBits, s.RasterBits + size_t(f.width) * size_t(f.height));
        f.table = Table(s.ImageDesc.ColorMap ? s.ImageDesc.ColorMap : gif->SColorMap);
        GraphicsControlBlock gcb;
        if (DGifSavedExtensionToGCB(gif, i, &gcb) == GIF_OK) {
            f.disposal = gcb.DisposalMode;
            f.transparent = gcb.TransparentColor;
        }
        frames.push_back(std::move(f));
    }
    DGifCloseFile(gif, &error);
    return ok;
}
#else
bool GiflibFrames(const std::vector<uint8_t>&, int&, int&, std::vector<RefFrame>&) { return false; }
#endif

}  // namespace img_test
