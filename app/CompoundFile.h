#pragma once
// A small reader of compound files (the structured storage an .msi package is): header, FAT, mini FAT,
// directory and the contents of streams, read through a file handle. Every sector chain is checked against
// the file's size and for cycles, so no size or chain in a damaged file makes it read or allocate without
// bound.
#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class CCompoundFile {
public:
    enum EntryType : uint8_t { kUnused = 0, kStorage = 1, kStream = 2, kRoot = 5 };

    struct Entry {
        std::wstring name;           // as stored, without its terminator
        uint8_t type = kUnused;
        uint8_t clsid[16] = {};
        uint8_t stateBits[4] = {};
        uint8_t created[8] = {};     // FILETIME as stored
        uint8_t modified[8] = {};
        uint32_t start = 0;          // first sector (or mini sector) of a stream
        uint64_t size = 0;           // bytes of a stream; the mini stream's for the root
        std::vector<uint32_t> children;   // of a storage or the root: entry numbers, in directory-tree order
    };

    // Reads the structure of the compound file behind file (a handle open for reading; its position is
    // not kept). False when it is no compound file, its structure is damaged or its storages nest more
    // than 32 deep.
    bool Open(HANDLE file);

    // The directory's entries; entry 0 is the root. Only entries reachable from the root are filled in.
    const std::vector<Entry>& Entries() const { return m_entries; }

    // Hands the stream's bytes to sink in pieces, in order. False when a piece cannot be read, its chain
    // is damaged, or sink returns false.
    bool ReadStream(const Entry& stream, const std::function<bool(const uint8_t*, size_t)>& sink) const;

private:
    bool ReadAt(uint64_t offset, void* buffer, size_t size) const;
    bool ReadSector(uint32_t sector, void* buffer) const;
    // The chain that starts at first in table: false when it leaves the table, repeats itself or is longer
    // than limit entries.
    static bool Chain(const std::vector<uint32_t>& table, uint32_t first, size_t limit, std::vector<uint32_t>* chain);
    // An entry's links in its storage's tree of children.
    struct Links {
        uint32_t left = 0xFFFFFFFF, right = 0xFFFFFFFF, child = 0xFFFFFFFF;
    };
    bool ReadFat(const uint8_t* header);
    bool ReadDirectory(uint32_t first, std::vector<Links>* links);
    bool LinkChildren(const std::vector<Links>& links);

    HANDLE m_file = nullptr;
    uint64_t m_fileSize = 0;
    uint32_t m_sectorSize = 512;
    uint32_t m_miniSectorSize = 64;
    uint32_t m_miniCutoff = 4096;
    uint32_t m_sectorCount = 0;          // whole sectors the file holds after its header
    std::vector<uint32_t> m_fat;
    std::vector<uint32_t> m_miniFat;
    std::vector<uint32_t> m_miniStreamSectors;   // the root's chain, which holds the mini sectors
    std::vector<Entry> m_entries;
};
