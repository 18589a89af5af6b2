// PNG output for builds without a PNG encoder.
#include "PngWriter.h"

bool PngOutputAvailable() { return false; }

bool WritePngFile(const std::string&, const DibImage&, std::string& error) {
    error = "PNG output is not supported in this build; write a .bmp file (--format bmp)";
    return false;
}
