#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ByteReader.h"
#include "HostOptions.h"
#include "ResultText.h"

namespace {

HostOptions Parse(const std::vector<std::string>& args) {
    HostOptions options;
    std::string error;
    EXPECT_TRUE(ParseHostOptions(args, options, error)) << error;
    return options;
}

std::string ParseError(const std::vector<std::string>& args) {
    HostOptions options;
    std::string error;
    EXPECT_FALSE(ParseHostOptions(args, options, error));
    return error;
}

int32_t FieldAt(const PictureRequestBlock& block, size_t offset) {
    return ByteReader::LoadI32LE(reinterpret_cast<const uint8_t*>(&block) + offset);
}

TEST(HostOptions, RequestBlockOnlyWhenAskedFor) {
    PictureRequestBlock block;
    EXPECT_FALSE(FillRequestBlock(Parse({"decode", "a.gif", "-o", "a.png", "--split"}), block));
    const std::vector<uint8_t> zero(sizeof block, 0);
    EXPECT_EQ(std::memcmp(&block, zero.data(), sizeof block), 0);
}

TEST(HostOptions, RequestFieldsLandAtTheirOffsets) {
    PictureRequestBlock block;
    ASSERT_TRUE(FillRequestBlock(Parse({"decode", "a", "-o", "a.png", "--scale", "3", "--image",
                                        "2", "--position=-10", "--type", "4"}),
                                 block));
    EXPECT_EQ(std::memcmp(block.tag, "zem", 3), 0);
    EXPECT_EQ(FieldAt(block, 44), 3);
    EXPECT_EQ(FieldAt(block, 48), 2);
    EXPECT_EQ(FieldAt(block, 52), -10);
    EXPECT_EQ(FieldAt(block, 56), 4);
    for (size_t i = 3; i < 44; ++i) EXPECT_EQ(reinterpret_cast<const uint8_t*>(&block)[i], 0);
}

TEST(HostOptions, FrameFillsByte48WhenImageIsAbsent) {
    PictureRequestBlock block;
    ASSERT_TRUE(FillRequestBlock(Parse({"decode", "a", "-o", "a.png", "--frame", "5"}), block));
    EXPECT_EQ(FieldAt(block, 48), 5);
    EXPECT_EQ(FieldAt(block, 44), 0);
    EXPECT_NE(
        ParseError({"decode", "a", "-o", "a.png", "--frame", "5", "--image", "1"}).find("give one"),
        std::string::npos);
}

TEST(HostOptions, ParsesCommandsAndOptionsAnywhere) {
    HostOptions o = Parse({"--plugins", "/p", "decode", "x.bmp", "y.bmp", "-o", "out/", "--format",
                           "bmp", "--memory", "--offset", "100", "--plugin", "bmpsrc"});
    EXPECT_EQ(o.command, Command::Decode);
    EXPECT_EQ(o.files, (std::vector<std::string>{"x.bmp", "y.bmp"}));
    EXPECT_EQ(o.plugin_dir, "/p");
    EXPECT_EQ(o.output, "out/");
    EXPECT_EQ(o.format, OutputFormat::Bmp);
    EXPECT_TRUE(o.memory);
    EXPECT_EQ(o.offset, 100u);
    EXPECT_EQ(o.plugin_name, "bmpsrc");
    EXPECT_EQ(Parse({"--", "probe", "-odd-name"}).files, (std::vector<std::string>{"-odd-name"}));
    for (const char* help : {"help", "--help", "-h"}) {
        EXPECT_EQ(Parse({help}).command, Command::Help);
    }
    EXPECT_EQ(Parse({"info", "a", "--help"}).command, Command::Help);
}

TEST(HostOptions, RejectsBadCommandLines) {
    struct Case {
        std::vector<std::string> args;
        const char* message;
    };
    const Case cases[] = {
        {{}, "no command"},
        {{"convert", "a"}, "unknown command 'convert'"},
        {{"info", "a", "--colour"}, "unknown option --colour"},
        {{"decode", "a", "-o"}, "-o needs a value"},
        {{"decode", "a", "-o", "a.png", "--image", "2x"}, "--image needs a whole number"},
        {{"decode", "a", "-o", "a.png", "--scale", "4294967296"}, "--scale needs a whole number"},
        {{"decode", "a", "-o", "a.png", "--offset", "-1"}, "--offset needs a byte count"},
        {{"decode", "a", "-o", "a.png", "--format", "gif"}, "--format takes png or bmp"},
        {{"decode", "a", "-o", "a.png", "--memory=yes"}, "--memory takes no value"},
        {{"decode", "a"}, "decode needs -o"},
        {{"decode", "-o", "a.png"}, "decode needs at least one FILE"},
        {{"info"}, "info needs at least one FILE"},
        {{"info", "a", "--position", "1"}, "option --position does not apply to info"},
        {{"info", "a", "--force"}, "option --force does not apply to info"},
        {{"decode", "a", "-o", "a.png", "--image", "-1"}, "--image counts from 0"},
        {{"info", "a", "--frame", "-2"}, "--frame counts from 0"},
        {{"decode", "a", "-o", "a.png", "--png-level", "10"}, "--png-level takes a zlib level"},
        {{"decode", "a", "-o", "a.png", "--type", "jpeg2"}, "--type takes a type number or name"},
        {{"probe", "a", "--memory"}, "option --memory does not apply to probe"},
        {{"probe"}, "probe needs at least one FILE"},
        {{"plugins", "a"}, "plugins takes no file"},
        {{"thumbs", "d"}, "thumbs needs -o DIR/"},
        {{"thumbs", "d", "e", "-o", "t/"}, "thumbs needs one DIR"},
        {{"thumbs", "d", "-o", "t/", "--preview"}, "option --preview does not apply to thumbs"},
        {{"thumbs", "d", "-o", "t/", "--scale", "2"}, "option --scale does not apply to thumbs"},
        {{"info", "a", "--split"}, "option --split does not apply to info"},
        {{"thumbs", "d", "-o", "t/", "--jobs", "0"}, "--jobs takes a whole number from 1"},
        {{"decode", "a", "-o", "t/", "--name", "long"}, "--name takes stem"},
        {{"decode", "a", "-o", "t/", "--position", "11.9"}, "--position takes whole seconds"},
    };
    for (const Case& c : cases) {
        const std::string error = ParseError(c.args);
        EXPECT_NE(error.find(c.message), std::string::npos)
            << "expected '" << c.message << "', got '" << error << "'";
    }
}

TEST(HostOptions, NewerOptionsAndTypeNames) {
    const HostOptions o = Parse(
        {"decode", "a", "-o", "b.png", "-y", "--png-level", "9", "--type", "JPEG", "--image", "0"});
    EXPECT_TRUE(o.force);
    EXPECT_EQ(o.png_level, 9);
    EXPECT_EQ(o.type, 3);
    EXPECT_EQ(o.given, (std::vector<std::string>{"--output", "--force", "--png-level", "--type",
                                                 "--image"}));
    EXPECT_EQ(Parse({"info", "a", "b", "--type", "tif", "--frame", "2"}).files.size(), 2u);
    EXPECT_EQ(Parse({"decode", "a", "-o", "b", "--type", "19"}).type, 19);
    for (const char* name : {"bmp", "gif", "jpg", "png", "ico", "tiff", "tga", "jp2", "j2k", "ppm",
                             "dng", "psd", "webp", "heic", "avif", "jxl", "qoi", "pcx", "sgi",
                             "xpm", "xbm", "wbmp", "ras", "hdr", "pfm"}) {
        const std::optional<uint32_t> type = ImageTypeFromName(name);
        ASSERT_TRUE(type) << name;
        EXPECT_NE(ImageTypeName(*type), nullptr) << name;
    }
    EXPECT_EQ(Parse({"--version"}).command, Command::Version);
    EXPECT_TRUE(Parse({"decode", "a", "--preview", "-o", "b.png"}).preview);
    const HostOptions thumbs = Parse({"thumbs", "d", "-o", "t", "-y", "--format", "bmp"});
    EXPECT_EQ(thumbs.command, Command::Thumbs);
    EXPECT_EQ(thumbs.format, OutputFormat::Bmp);
    const HostOptions deep =
        Parse({"thumbs", "d", "-o", "t", "-r", "-v", "--size", "64", "-j", "3"});
    EXPECT_TRUE(deep.recursive && deep.verbose);
    EXPECT_EQ(deep.size, 64u);
    EXPECT_EQ(deep.jobs, 3u);
    EXPECT_EQ(Parse({"decode", "a", "-o", "d/", "--name", "full"}).name_style, NameStyle::Full);
}

TEST(HostOptions, OutputFormatFromExtension) {
    EXPECT_EQ(FormatFromExtension("a.png"), OutputFormat::Png);
    EXPECT_EQ(FormatFromExtension("dir.x/A.BMP"), OutputFormat::Bmp);
    EXPECT_EQ(FormatFromExtension("a.jpg"), OutputFormat::Unspecified);
    EXPECT_EQ(FormatFromExtension("dir.png/out"), OutputFormat::Unspecified);
}

TEST(ResultText, NamesEveryCodeByPluginFamily) {
    struct Case {
        int32_t code;
        PluginFamily family;
        const char* text;
    };
    const Case cases[] = {
        {0, PluginFamily::Generic, "ok (code 0)"},
        {-1, PluginFamily::Gif, "not implemented"},
        {1, PluginFamily::Gif, "bad header or LZW minimum code size (code 1)"},
        {2, PluginFamily::Gif, "data ended early (code 2)"},
        {3, PluginFamily::Gif, "image not found"},
        {4, PluginFamily::Gif, "LZW string table overflow, or out of memory (code 4)"},
        {-6, PluginFamily::Gif, "no image after its header"},
        {1, PluginFamily::Generic, "not a valid picture for this plug-in (code 1)"},
        {3, PluginFamily::Generic, "damaged: the file's data cannot be decoded"},
        {2, PluginFamily::Generic, "unsupported: a kind of file"},
        {2, PluginFamily::MultiFormat, "unknown format"},
        {1, PluginFamily::Video, "reads only named files"},
        {3, PluginFamily::Avi, "no frame"},
        {-1, PluginFamily::Video, "no frame could be read"},
        {6, PluginFamily::Generic, "cut short"},
        {6, PluginFamily::Gif, "file read error"},
        {99, PluginFamily::Generic, "unknown error 99"},
        {-6, PluginFamily::Generic, "unknown error -6"},
    };
    for (const Case& c : cases) {
        const std::string text = DescribeResult(c.code, c.family);
        EXPECT_NE(text.find(c.text), std::string::npos) << c.code << ": " << text;
    }
    EXPECT_EQ(FamilyFromTypeName("GIF"), PluginFamily::Gif);
    EXPECT_EQ(FamilyFromTypeName("BMP"), PluginFamily::Generic);
}

}  // namespace
