// The stress suites' common ground: the table of plug-ins (one line each: module, the files it is
// given, the request blocks its picture reads carry), the inputs gathered from that table, and one
// request run through a built module exactly as a host runs it, with a digest of all it returned.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "PluginModule.h"
#include "plugin_abi.h"

namespace stress {

// True in builds under AddressSanitizer or ThreadSanitizer, whose allocators keep their own books
// and whose speed says nothing about the code's.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// A field of the request block: its byte offset (44, 48, 52, 56) and value.
struct BlockField {
    int offset;
    int32_t value;
};
using Variant = std::vector<BlockField>;

struct NamedBytes {
    std::string name;
    std::vector<uint8_t> bytes;
};
// Hostile inputs for one format, made by the test (decompression bombs, endless streams...).
using HostileMaker = std::vector<NamedBytes> (*)();

struct PluginEntry {
    const char* module;       // "gifsrc"
    const char* suffixes;     // the files of samples/ it reads, "*" for all, else ".gif .dib"
    const char* corpora;      // fuzz targets whose fuzz/corpus/<target>/ it replays, and
                              // "shared:<folder>" for folders of ../shared/corpus
    std::vector<Variant> variants;  // request blocks of GetPicture (an empty one: no block)
    HostileMaker hostile;     // format-specific hostile inputs (may be null)
};

// Every plug-in this suite drives. A plug-in whose module is not built is left out.
const std::vector<PluginEntry>& PluginTable();

// The hostile-input makers the table names (HostileInputs.cpp).
std::vector<NamedBytes> HostileBmp();
std::vector<NamedBytes> HostileGif();
std::vector<NamedBytes> HostileImg();
std::vector<NamedBytes> HostileAvi();

enum class Call {
    SupportedHead,   // IsSupported with the first 2 KB
    SupportedFile,   // IsSupported with a handle value: the plug-in reads the file itself
    InfoFile,
    InfoMemory,
    PictureFileWhole,
    PictureFileSplit,
    PictureMemoryWhole,
    PictureMemorySplit,
    Preview,
};
constexpr int kCallCount = 9;
const char* CallName(Call call);

struct Input {
    std::string label;   // "samples/rle8.bmp"
    std::string path;    // a file on disk with exactly `bytes`
    std::vector<uint8_t> bytes;
};

// A built plug-in and the inputs its table line names.
struct Target {
    const PluginEntry* entry = nullptr;
    std::unique_ptr<PluginModule> module = std::make_unique<PluginModule>();
    std::vector<Input> inputs;
};

struct GatherOptions {
    size_t max_bytes = 1 << 20;       // larger files are left out
    size_t max_per_corpus = 1000000;  // files taken from each corpus folder (a spread of them)
    bool samples = true;
    bool corpora = true;
};
// Loads every built plug-in of the table and gathers its inputs. `error` names what failed.
std::vector<Target> LoadTargets(const GatherOptions& options, std::string& error);

// The source tree (samples/, fuzz/corpus/).
std::string SourceDir();
// The files of a folder, sorted.
std::vector<std::string> FilesIn(const std::string& dir);

// What one request gave back. Handles are kept until Release so that callers can inspect them.
struct Outcome {
    int32_t result = -99;
    uint64_t digest = 0;   // over the result, the record and every returned byte
    SpiHandle handles[2] = {nullptr, nullptr};
    std::string fault;     // why the outcome breaks the contract (empty when sound)
};

// Runs one request as a host does. `temp_path` is used for nothing; files come from the input.
Outcome Run(const PluginModule& module, const Input& input, Call call, const Variant& variant);
// Checks the returned handles (a whole packed DIB, or a header block and a bits block whose
// joint length is a whole DIB; none on failure), computes the digest and frees the handles
// unless `keep` is set (then the caller calls Release).
void Finish(Outcome& outcome, Call call, bool keep = false);
void Release(Outcome& outcome);

// One request of a plug-in over one of its inputs.
struct Request {
    size_t target;
    size_t input;
    Call call;
    size_t variant;  // index into the entry's variants (picture reads; else 0 or one with 56)
};
// Every call over every input of every target, each picture read with each request block.
std::vector<Request> AllRequests(const std::vector<Target>& targets);
// Run and Finish; the handles are freed.
Outcome RunRequest(const std::vector<Target>& targets, const Request& request);
// "imgsrc GetPicture(memory) samples/rle8.bmp block 2"
std::string Describe(const std::vector<Target>& targets, const Request& request);

// A deterministic 64-bit hash.
uint64_t Hash(const void* data, size_t size, uint64_t seed);

}  // namespace stress
