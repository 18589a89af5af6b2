// A literal compositing of GIF images as a viewer shows them, the reference for imgsrc's GIF
// frames: the screen starts transparent (an empty one takes the first image's extents), each
// image is clipped to it and drawn over what the disposal of the one before left (2 clears its
// rectangle to transparent, 3 restores the whole screen as it was before it), transparent
// indices let the screen through.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace img_test {

struct RefFrame {
    int left = 0, top = 0, width = 0, height = 0;
    std::vector<uint8_t> indices;  // rows top-down
    std::vector<uint8_t> table;    // RGB triples (local, else global)
    int disposal = 0;
    int transparent = -1;
};

struct RefPicture {
    uint32_t width = 0, height = 0;
    std::vector<uint8_t> rgba;
};

RefPicture ComposeReference(int screen_width, int screen_height,
                            const std::vector<RefFrame>& frames, size_t frame);

// The images of `bytes` as giflib reads them; false without giflib or when it fails.
bool GiflibFrames(const std::vector<uint8_t>& bytes, int& screen_width, int& screen_height,
                  std::vector<RefFrame>& frames);

}  // namespace img_test
