#include "DibView.h"

bool DibView::IsGreyRamp() const {
    if (!palette || palette_size < 2) return false;
    for (uint32_t i = 0; i < palette_size; ++i) {
        const auto v = static_cast<uint8_t>(i * 255 / (palette_size - 1));
        const RgbQuad& c = palette[i];
        if (c.red != v || c.green != v || c.blue != v) return false;
    }
    return true;
}
