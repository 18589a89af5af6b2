#include "ImageFileBase.h"

#include "MappedFile.h"

ImageFileBase::~ImageFileBase() { m_infoBlock.Release(); }

int32_t ImageFileBase::ReadPictureFromFile() {
    return ReadFromMappedFile(&ImageFileBase::ReadPictureFromMemory);
}

int32_t ImageFileBase::ReadInfoFromFile() {
    return ReadFromMappedFile(&ImageFileBase::ReadInfoFromMemory);
}

// Maps the file, hands the bytes from the offset on to the memory read, and unmaps afterwards,
// also when the memory read raises. The mapped bytes are valid only during that read.
int32_t ImageFileBase::ReadFromMappedFile(int32_t (ImageFileBase::*read)()) {
    MappedFile file;
    const uint8_t* data = file.Open(m_fileName);
    if (!data) return SPI_FILE_READ_ERROR;
    if (file.Size() <= m_fileOffset) return SPI_FILE_READ_ERROR;
    m_data = data + m_fileOffset;
    m_dataSize = static_cast<size_t>(file.Size() - m_fileOffset);
    struct SourceReset {
        ImageFileBase* self;
        ~SourceReset() {
            self->m_data = nullptr;
            self->m_dataSize = 0;
        }
    } reset{this};
    return (this->*read)();
}
