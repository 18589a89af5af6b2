// Writes every test AVI file of the avisrc suites into a folder: for the Windows suites, which
// run where FFmpeg's libraries are not at hand, and for looking at the files by hand.
// Usage: avi_make_fixtures DIR
#include <cstdio>
#include <string>

#include "AviFixtures.h"
#include "TestSupport.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: avi_make_fixtures DIR\n");
        return 2;
    }
    int failed = 0;
    for (const std::string& name : avitest::FixtureNames()) {
        const std::string& path = avitest::Fixture(name);
        std::vector<uint8_t> bytes;
        if (path.empty() || !testing_support::ReadWholeFile(path, bytes) ||
            !testing_support::WriteWholeFile(std::string(argv[1]) + "/" + name + ".avi", bytes)) {
            std::fprintf(stderr, "%s: %s\n", name.c_str(), avitest::FixtureError(name).c_str());
            ++failed;
        }
    }
    return failed ? 1 : 0;
}
