// A small reader of compound files: the header, the FAT (through the DIFAT), the mini FAT, the directory
// tree and stream contents, all checked against the file's size.
#include "app/CompoundFile.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint8_t kSignature[8] = { 0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1 };
constexpr uint32_t kMaxRegularSector = 0xFFFFFFFA;
constexpr uint32_t kEndOfChain = 0xFFFFFFFE;
constexpr uint32_t kNoStream = 0xFFFFFFFF;
constexpr size_t kHeaderSize = 512;
constexpr size_t kEntrySize = 128;
constexpr size_t kHeaderDifatEntries = 109;
// Storages nested deeper than this are refused (packages nest one or two levels), so that walks over the
// tree stay shallow.
constexpr int kMaxNesting = 32;
// Reads of adjacent sectors are joined up to this many bytes.
constexpr size_t kMaxRun = 1 << 20;

uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t U32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }
uint64_t U64(const uint8_t* p) { return U32(p) | static_cast<uint64_t>(U32(p + 4)) << 32; }

}

bool CCompoundFile::ReadAt(uint64_t offset, void* buffer, size_t size) const
{
    if (offset > m_fileSize || size > m_fileSize - offset)
        return false;
    uint8_t* out = static_cast<uint8_t*>(buffer);
    while (size > 0) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        const DWORD want = static_cast<DWORD>(std::min<size_t>(size, 1 << 24));
        DWORD got = 0;
        if (!::ReadFile(m_file, out, want, &got, &at) || got == 0)
            return false;
        out += got;
        offset += got;
        size -= got;
    }
    return true;
}

bool CCompoundFile::ReadSector(uint32_t sector, void* buffer) const
{
    return sector < m_sectorCount && ReadAt((static_cast<uint64_t>(sector) + 1) * m_sectorSize, buffer, m_sectorSize);
}

bool CCompoundFile::Chain(const std::vector<uint32_t>& table, uint32_t first, size_t limit, std::vector<uint32_t>* chain)
{
    chain->clear();
    std::vector<bool> seen(table.size());
    for (uint32_t at = first; at != kEndOfChain; at = table[at]) {
        if (at >= table.size() || seen[at] || chain->size() >= limit)
            return false;
        seen[at] = true;
        chain->push_back(at);
    }
    return true;
}

bool CCompoundFile::ReadFat(const uint8_t* header)
{
    const uint32_t fatSectors = U32(header + 44);
    const uint32_t perSector = m_sectorSize / 4;
    if (fatSectors > m_sectorCount)
        return false;
    // Where the FAT's sectors are: the first 109 in the header, the rest in the DIFAT's chain of sectors,
    // each of which ends with the number of the next.
    std::vector<uint32_t> locations;
    for (size_t i = 0; i < kHeaderDifatEntries && locations.size() < fatSectors; ++i)
        locations.push_back(U32(header + 76 + 4 * i));
    std::vector<uint8_t> sector(m_sectorSize);
    uint32_t difat = U32(header + 68);
    uint32_t difatCount = 0;
    while (locations.size() < fatSectors) {
        if (difat > kMaxRegularSector || ++difatCount > m_sectorCount || !ReadSector(difat, sector.data()))
            return false;
        for (uint32_t i = 0; i + 1 < perSector && locations.size() < fatSectors; ++i)
            locations.push_back(U32(&sector[4 * i]));
        difat = U32(&sector[4 * (perSector - 1)]);
    }
    m_fat.clear();
    m_fat.reserve(static_cast<size_t>(fatSectors) * perSector);
    for (uint32_t location : locations) {
        if (!ReadSector(location, sector.data()))
            return false;
        for (uint32_t i = 0; i < perSector; ++i)
            m_fat.push_back(U32(&sector[4 * i]));
    }
    // Entries past the sectors the file holds name nothing that can be read.
    if (m_fat.size() > m_sectorCount)
        m_fat.resize(m_sectorCount);
    return true;
}

bool CCompoundFile::ReadDirectory(uint32_t first, std::vector<Links>* links)
{
    std::vector<uint32_t> chain;
    if (!Chain(m_fat, first, m_sectorCount, &chain) || chain.empty())
        return false;
    std::vector<uint8_t> bytes(chain.size() * m_sectorSize);
    for (size_t i = 0; i < chain.size(); ++i)
        if (!ReadSector(chain[i], &bytes[i * m_sectorSize]))
            return false;
    m_entries.assign(bytes.size() / kEntrySize, Entry());
    links->assign(m_entries.size(), Links());
    for (size_t i = 0; i < m_entries.size(); ++i) {
        const uint8_t* raw = &bytes[i * kEntrySize];
        Entry& entry = m_entries[i];
        entry.type = raw[66];
        (*links)[i] = { U32(raw + 68), U32(raw + 72), U32(raw + 76) };
        if (entry.type == kUnused)
            continue;
        const uint16_t nameBytes = U16(raw + 64);
        if (nameBytes < 2 || nameBytes > 64 || nameBytes % 2 != 0)
            return false;
        entry.name.resize(nameBytes / 2 - 1);
        for (size_t c = 0; c < entry.name.size(); ++c)
            entry.name[c] = static_cast<wchar_t>(U16(raw + 2 * c));
        memcpy(entry.clsid, raw + 80, 16);
        memcpy(entry.stateBits, raw + 96, 4);
        memcpy(entry.created, raw + 100, 8);
        memcpy(entry.modified, raw + 108, 8);
        entry.start = U32(raw + 116);
        // A version-3 file's sizes are 32 bits; older writers left garbage in the upper half.
        entry.size = m_sectorSize == 512 ? U32(raw + 120) : U64(raw + 120);
    }
    return true;
}

bool CCompoundFile::LinkChildren(const std::vector<Links>& links)
{
    // Each entry belongs to one storage's tree exactly once; a link that leaves the directory, comes back
    // to an entry already placed or reaches the root or an unused entry is damage.
    std::vector<bool> placed(m_entries.size());
    placed[0] = true;
    struct Storage {
        uint32_t entry;
        int depth;
    };
    std::vector<Storage> storages{ { 0, 0 } };
    while (!storages.empty()) {
        const Storage storage = storages.back();
        storages.pop_back();
        std::vector<uint32_t> pending{ links[storage.entry].child };
        while (!pending.empty()) {
            const uint32_t at = pending.back();
            pending.pop_back();
            if (at == kNoStream)
                continue;
            if (at >= m_entries.size() || placed[at])
                return false;
            const Entry& entry = m_entries[at];
            if (entry.type != kStorage && entry.type != kStream)
                return false;
            placed[at] = true;
            m_entries[storage.entry].children.push_back(at);
            pending.push_back(links[at].left);
            pending.push_back(links[at].right);
            if (entry.type == kStorage) {
                if (storage.depth + 1 > kMaxNesting)
                    return false;
                storages.push_back({ at, storage.depth + 1 });
            }
        }
    }
    return true;
}

bool CCompoundFile::Open(HANDLE file)
{
    m_file = file;
    m_entries.clear();
    LARGE_INTEGER size{};
    if (!file || file == INVALID_HANDLE_VALUE || !::GetFileSizeEx(file, &size) || size.QuadPart < static_cast<LONGLONG>(kHeaderSize))
        return false;
    m_fileSize = static_cast<uint64_t>(size.QuadPart);
    uint8_t header[kHeaderSize];
    if (!ReadAt(0, header, sizeof(header)) || memcmp(header, kSignature, sizeof(kSignature)) != 0 || U16(header + 28) != 0xFFFE)
        return false;
    const uint16_t major = U16(header + 26), sectorShift = U16(header + 30), miniShift = U16(header + 32);
    if (!((major == 3 && sectorShift == 9) || (major == 4 && sectorShift == 12)) || miniShift != 6 || U32(header + 56) != 4096)
        return false;
    m_sectorSize = 1u << sectorShift;
    m_miniSectorSize = 1u << miniShift;
    m_miniCutoff = U32(header + 56);
    // Sectors follow the header's own sector; a last sector cut short is read as far as it goes.
    const uint64_t sectors = (m_fileSize + m_sectorSize - 1) / m_sectorSize;
    if (sectors < 2)
        return false;
    m_sectorCount = static_cast<uint32_t>(std::min<uint64_t>(sectors - 1, kMaxRegularSector));
    std::vector<Links> links;
    if (!ReadFat(header) || !ReadDirectory(U32(header + 48), &links) || m_entries.empty() || m_entries[0].type != kRoot ||
        !LinkChildren(links))
        return false;

    // The mini FAT and the mini stream (the root's chain), which hold the streams under the cutoff.
    std::vector<uint32_t> chain;
    const uint32_t miniFatSectors = U32(header + 64);
    m_miniFat.clear();
    if (miniFatSectors > 0) {
        if (!Chain(m_fat, U32(header + 60), miniFatSectors, &chain) || chain.size() != miniFatSectors)
            return false;
        std::vector<uint8_t> sector(m_sectorSize);
        for (uint32_t at : chain) {
            if (!ReadSector(at, sector.data()))
                return false;
            for (uint32_t i = 0; i < m_sectorSize / 4; ++i)
                m_miniFat.push_back(U32(&sector[4 * i]));
        }
    }
    const Entry& root = m_entries[0];
    m_miniStreamSectors.clear();
    if (root.size > 0) {
        if (root.size > static_cast<uint64_t>(m_sectorCount) * m_sectorSize ||
            !Chain(m_fat, root.start, m_sectorCount, &m_miniStreamSectors) ||
            static_cast<uint64_t>(m_miniStreamSectors.size()) * m_sectorSize < root.size)
            return false;
    }
    return true;
}

bool CCompoundFile::ReadStream(const Entry& stream, const std::function<bool(const uint8_t*, size_t)>& sink) const
{
    if (stream.type != kStream)
        return false;
    if (stream.size == 0)
        return true;
    const bool mini = stream.size < m_miniCutoff;
    const uint32_t unit = mini ? m_miniSectorSize : m_sectorSize;
    const std::vector<uint32_t>& table = mini ? m_miniFat : m_fat;
    // A chain without repeats is no longer than its table: a larger size is damage, found before anything
    // is allocated for it.
    const uint64_t needed = (stream.size + unit - 1) / unit;
    if (needed > table.size())
        return false;
    std::vector<uint32_t> chain;
    std::vector<bool> seen(table.size());
    for (uint32_t at = stream.start; chain.size() < needed; at = table[at]) {
        if (at >= table.size() || seen[at])
            return false;
        seen[at] = true;
        chain.push_back(at);
    }
    uint64_t left = stream.size;
    if (mini) {
        const uint64_t miniStreamSize = m_entries[0].size;
        std::vector<uint8_t> piece(unit);
        for (uint32_t at : chain) {
            const uint64_t offset = static_cast<uint64_t>(at) * unit;
            const size_t take = static_cast<size_t>(std::min<uint64_t>(left, unit));
            if (offset + take > miniStreamSize || offset / m_sectorSize >= m_miniStreamSectors.size())
                return false;
            const uint64_t fileOffset = (static_cast<uint64_t>(m_miniStreamSectors[offset / m_sectorSize]) + 1) * m_sectorSize +
                                        offset % m_sectorSize;
            if (!ReadAt(fileOffset, piece.data(), take) || !sink(piece.data(), take))
                return false;
            left -= take;
        }
        return true;
    }
    std::vector<uint8_t> run;
    for (size_t i = 0; i < chain.size();) {
        // Adjacent sectors are read together.
        size_t count = 1;
        while (i + count < chain.size() && chain[i + count] == chain[i] + count && (count + 1) * unit <= kMaxRun)
            ++count;
        const size_t take = static_cast<size_t>(std::min<uint64_t>(left, static_cast<uint64_t>(count) * unit));
        run.resize(take);
        if (chain[i] >= m_sectorCount || !ReadAt((static_cast<uint64_t>(chain[i]) + 1) * m_sectorSize, run.data(), take) ||
            !sink(run.data(), take))
            return false;
        left -= take;
        i += count;
    }
    return true;
}
