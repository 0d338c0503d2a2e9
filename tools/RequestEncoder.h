#pragma once
// Encodes a shredding request in the layout that Pellumar.exe reads from named shared memory. Used by the
// stand-in request writer and by the tests.
#include <cstdint>
#include <string>
#include <vector>

struct RequestImage {
    bool m_recycleBin = false;
    bool m_freeSpace = false;
    std::vector<std::wstring> m_files;
    std::vector<std::wstring> m_folders;
    uint32_t m_padding = 0;   // bytes left after each path's NUL, covered by its record's advance
};

// Byte 0 (the acknowledge) is 0. A recycle-bin request still carries its lists when given any.
std::vector<uint8_t> EncodeShellRequest(const RequestImage& image);

// Appends one path record (advance, path, NUL, padding bytes) to bytes.
void AppendPathRecord(std::vector<uint8_t>& bytes, const std::wstring& path, uint32_t padding = 0);
// Appends a little-endian 32-bit value.
void AppendUInt32(std::vector<uint8_t>& bytes, uint32_t value);
