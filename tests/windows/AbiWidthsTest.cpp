// The argument and field widths of the plug-in interface on the Windows targets: 32 bits
// throughout on 32-bit Windows (with __stdcall exports), pointer-sized on 64-bit Windows.
// Checked at compile time; the test only reports the target that was checked.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "plugin_abi.h"

namespace {

#if defined(_WIN64)
constexpr size_t kWord = 8;
#else
constexpr size_t kWord = 4;
#endif
static_assert(sizeof(void*) == kWord, "the target's pointer width");
static_assert(sizeof(SpiLength) == kWord && std::is_signed<SpiLength>::value,
              "length and offset: signed, 32 bits on Win32, pointer-sized on Win64");
static_assert(sizeof(SpiHeadWord) == kWord && std::is_unsigned<SpiHeadWord>::value,
              "headOrHandle: unsigned, 32 bits on Win32, pointer-sized on Win64");
static_assert(sizeof(SpiUserData) == kWord && std::is_signed<SpiUserData>::value,
              "userData: signed, 32 bits on Win32, pointer-sized on Win64");
static_assert(sizeof(SpiHandle) == kWord, "memory handles are pointer-sized");
// A pointer must survive the trip through headOrHandle and userData.
static_assert(sizeof(SpiHeadWord) >= sizeof(const void*), "headOrHandle holds a pointer");
static_assert(sizeof(SpiUserData) >= sizeof(const void*), "userData holds a pointer");
// The extended fields keep their offsets whatever the width of the handle at 22.
static_assert(offsetof(PictureInfoRecord, infoHandle) == 22, "info handle at 22");
static_assert(offsetof(PictureInfoRecord, streamLength) == 94, "stream length at 94");
static_assert(offsetof(PictureInfoRecord, codec) == 102, "codec at 102");
static_assert(offsetof(PictureInfoRecord, imageType) == 106, "image type at 106");
static_assert(offsetof(PictureInfoRecord, frameCount) == 110, "frame count at 110");
#if !defined(_WIN64)
// The exports' types carry __stdcall; a host that calls through them pops no arguments itself.
static_assert(
    std::is_same<GetPictureFn, int32_t(__stdcall*)(const char*, int32_t, uint32_t, SpiHandle*,
                                                   SpiHandle*, ProgressCallback, int32_t)>::value,
    "GetPicture is __stdcall with 32-bit arguments");
#endif

TEST(AbiWidths, MatchTheTarget) {
    RecordProperty("pointer_bits", static_cast<int>(kWord * 8));
    EXPECT_EQ(sizeof(PictureInfoRecord), 114u);
    EXPECT_EQ(sizeof(PictureRequestBlock), 60u);
}

}  // namespace
