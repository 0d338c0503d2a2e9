#include "RequestEncoder.h"

void AppendUInt32(std::vector<uint8_t>& bytes, uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8)
        bytes.push_back(static_cast<uint8_t>(value >> shift));
}

void AppendPathRecord(std::vector<uint8_t>& bytes, const std::wstring& path, uint32_t padding)
{
    const uint32_t pathBytes = static_cast<uint32_t>((path.size() + 1) * 2);
    AppendUInt32(bytes, pathBytes + padding);
    for (wchar_t unit : path) {
        bytes.push_back(static_cast<uint8_t>(unit));
        bytes.push_back(static_cast<uint8_t>(unit >> 8));
    }
    bytes.push_back(0);
    bytes.push_back(0);
    bytes.insert(bytes.end(), padding, 0xCD);
}

std::vector<uint8_t> EncodeShellRequest(const RequestImage& image)
{
    std::vector<uint8_t> bytes{0, static_cast<uint8_t>(image.m_recycleBin ? 1 : 0),
                               static_cast<uint8_t>(image.m_freeSpace ? 1 : 0)};
    for (const std::vector<std::wstring>* list : {&image.m_files, &image.m_folders}) {
        AppendUInt32(bytes, static_cast<uint32_t>(list->size()));
        for (const std::wstring& path : *list)
            AppendPathRecord(bytes, path, image.m_padding);
    }
    return bytes;
}
