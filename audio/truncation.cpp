// truncation.cpp - reads what a file's header promises and compares it with
// what the file holds.
#include "truncation.h"

#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <sstream>
#include <string_view>
#include <vector>

namespace asrc_audio {

namespace {

using Bytes = std::vector<unsigned char>;

// A regular file, read at given offsets.
class File {
public:
    explicit File(const std::string& path) : fd_(open(path.c_str(), O_RDONLY | O_CLOEXEC))
    {
        struct stat s {};
        regular_ = fd_ >= 0 && fstat(fd_, &s) == 0 && S_ISREG(s.st_mode);
        size_ = regular_ ? static_cast<std::uint64_t>(s.st_size) : 0;
    }
    ~File()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    bool regular() const { return regular_; }
    std::uint64_t size() const { return size_; }

    // Up to n bytes from `offset`: fewer at the end of the file.
    Bytes read(std::uint64_t offset, std::size_t n) const
    {
        if (offset >= size_)
            return {};
        Bytes b(static_cast<std::size_t>(std::min<std::uint64_t>(n, size_ - offset)));
        std::size_t got = 0;
        while (got < b.size()) {
            const ssize_t r = pread(fd_, b.data() + got, b.size() - got,
                                    static_cast<off_t>(offset + got));
            if (r <= 0)
                break;
            got += static_cast<std::size_t>(r);
        }
        b.resize(got);
        return b;
    }

private:
    int fd_;
    bool regular_ = false;
    std::uint64_t size_ = 0;
};

std::uint64_t little(const Bytes& b, std::size_t at, int n)
{
    std::uint64_t v = 0;
    for (int i = n - 1; i >= 0; --i)
        v = v << 8 | b[at + static_cast<std::size_t>(i)];
    return v;
}

std::uint64_t big(const Bytes& b, std::size_t at, int n)
{
    std::uint64_t v = 0;
    for (int i = 0; i < n; ++i)
        v = v << 8 | b[at + static_cast<std::size_t>(i)];
    return v;
}

bool starts(const Bytes& b, std::size_t at, std::string_view text)
{
    return b.size() >= at + text.size() && std::memcmp(b.data() + at, text.data(), text.size()) == 0;
}

std::string promises(const char* what, std::uint64_t promised, std::uint64_t held)
{
    return "is truncated: " + std::string(what) + " promises " + std::to_string(promised) +
           " bytes of data, the file holds " + std::to_string(held);
}

constexpr const char* kHeaderCut = "is truncated: the header ends before the data begins";

// Four bytes that can name a chunk: printable ASCII.
bool chunk_name(const Bytes& b)
{
    return b.size() >= 4 && std::all_of(b.begin(), b.begin() + 4,
                                        [](unsigned char c) { return c >= 0x20 && c <= 0x7E; });
}

// RIFF (WAV), RIFX, RF64 and BW64: chunks of a 4-byte name and a 32-bit
// size, padded to even sizes; RF64's sizes of 0xFFFFFFFF are in its ds64.
std::string riff(const File& f)
{
    const Bytes head = f.read(0, 12);
    const bool big_endian = starts(head, 0, "RIFX");
    const bool wide = starts(head, 0, "RF64") || starts(head, 0, "BW64");
    auto number = [big_endian](const Bytes& b, std::size_t at) {
        return big_endian ? big(b, at, 4) : little(b, at, 4);
    };
    std::optional<std::uint64_t> wide_data; // RF64: the data size from ds64
    for (std::uint64_t pos = 12; pos < f.size();) {
        const Bytes header = f.read(pos, 8);
        if (header.size() < 8)
            return kHeaderCut;
        std::uint64_t size = number(header, 4);
        const std::uint64_t start = pos + 8;
        if (wide && starts(header, 0, "ds64")) {
            const Bytes ds64 = f.read(start, 16);
            if (ds64.size() < 16)
                return kHeaderCut;
            wide_data = little(ds64, 8, 8);
        }
        if (starts(header, 0, "data")) {
            if (size == 0xFFFFFFFF && wide_data)
                return start + *wide_data > f.size()
                           ? promises("its ds64 chunk", *wide_data, f.size() - start)
                           : "";
            if (size == 0xFFFFFFFF) // written as a stream: no promise
                return "";
            const std::uint64_t after = f.size() - start;
            if (size == 0 && after > 0 && !chunk_name(f.read(start, 4)))
                return "has an unfinished header: its data size reads 0 but " +
                       std::to_string(after) +
                       " bytes follow (what a recorder that stopped before finishing its "
                       "header leaves)";
            return size > after ? promises("its data chunk", size, after) : "";
        }
        pos = start + size + (size & 1);
    }
    return kHeaderCut;
}

// AIFF and AIFC: big-endian chunks; the samples are in SSND.
std::string aiff(const File& f)
{
    for (std::uint64_t pos = 12; pos < f.size();) {
        const Bytes header = f.read(pos, 8);
        if (header.size() < 8)
            return kHeaderCut;
        const std::uint64_t size = big(header, 4, 4);
        const std::uint64_t start = pos + 8;
        if (starts(header, 0, "SSND"))
            return size > f.size() - start ? promises("its SSND chunk", size, f.size() - start)
                                           : "";
        pos = start + size + (size & 1);
    }
    return kHeaderCut;
}

// Sony Wave64: 16-byte GUIDs for names, 64-bit sizes that count the 24-byte
// chunk header, chunks aligned to 8 bytes.
std::string w64(const File& f)
{
    for (std::uint64_t pos = 40; pos < f.size();) {
        const Bytes header = f.read(pos, 24);
        if (header.size() < 24)
            return kHeaderCut;
        const std::uint64_t size = little(header, 16, 8);
        if (size < 24)
            return ""; // not a chunk this reader knows: libsndfile judged it
        if (starts(header, 0, "data")) {
            const std::uint64_t after = f.size() - pos - 24;
            return size - 24 > after ? promises("its data chunk", size - 24, after) : "";
        }
        pos += (size + 7) / 8 * 8;
    }
    return kHeaderCut;
}

// Sun/NeXT AU: the data's offset and size in the header, big-endian (or
// little-endian in DEC's variant); a size of 0xFFFFFFFF is unknown.
std::string au(const File& f)
{
    const Bytes head = f.read(0, 12);
    if (head.size() < 12)
        return kHeaderCut;
    const bool little_endian = starts(head, 0, "dns.") || starts(head, 0, std::string_view(".sd\0", 4));
    const std::uint64_t offset = little_endian ? little(head, 4, 4) : big(head, 4, 4);
    const std::uint64_t size = little_endian ? little(head, 8, 4) : big(head, 8, 4);
    if (size == 0xFFFFFFFF)
        return "";
    if (offset > f.size())
        return kHeaderCut;
    return size > f.size() - offset ? promises("its header", size, f.size() - offset) : "";
}

// Creative VOC: blocks of a type byte and a 24-bit length; type 0 ends them.
// libsndfile reads the first block of sound (type 1 or 9) only, and so does
// this; its length is the promise.  (sox writes that length 8 bytes short
// of a type 9 block's, so a cut within a file's last 8 bytes does not show.)
std::string voc(const File& f)
{
    const Bytes head = f.read(0, 22);
    if (head.size() < 22)
        return kHeaderCut;
    for (std::uint64_t pos = little(head, 20, 2); pos < f.size();) {
        const Bytes header = f.read(pos, 4);
        if (header[0] == 0)
            return "";
        if (header.size() < 4)
            return kHeaderCut;
        const std::uint64_t size = little(header, 1, 3);
        if (size > f.size() - pos - 4)
            return promises("its block of sound", size, f.size() - pos - 4);
        if (header[0] == 1 || header[0] == 9)
            return "";
        pos += 4 + size;
    }
    return kHeaderCut;
}

// NIST SPHERE: a text header of "name -type value" lines, its own size on
// the second line.
std::string nist(const File& f)
{
    const Bytes head = f.read(0, 4096);
    std::istringstream text(std::string(head.begin(), head.end()));
    std::string line;
    std::uint64_t header_size = 0;
    std::map<std::string, std::uint64_t> field;
    for (int n = 0; std::getline(text, line) && line != "end_head"; ++n) {
        std::istringstream words(line);
        std::string name, type;
        std::uint64_t value = 0;
        if (n == 1)
            std::istringstream(line) >> header_size;
        else if (words >> name >> type >> value && type == "-i")
            field[name] = value;
    }
    const std::uint64_t count = field["sample_count"];
    const std::uint64_t bytes = field["sample_n_bytes"] * field["channel_count"];
    if (header_size == 0 || count == 0 || bytes == 0 || header_size > f.size())
        return "";
    const std::uint64_t after = f.size() - header_size;
    return count * bytes > after ? promises("its header", count * bytes, after) : "";
}

// IRCAM and PAF: a header of fixed size and no length; a cut inside a frame
// of a fixed-size sample format is all that shows.
std::string whole_frames(const File& f, std::uint64_t header_size, int format, int channels)
{
    int bytes = 0;
    switch (format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8:
    case SF_FORMAT_ULAW:
    case SF_FORMAT_ALAW:
        bytes = 1;
        break;
    case SF_FORMAT_PCM_16:
        bytes = 2;
        break;
    case SF_FORMAT_PCM_24: // PAF packs 24-bit samples in blocks: not counted here
        bytes = (format & SF_FORMAT_TYPEMASK) == SF_FORMAT_PAF ? 0 : 3;
        break;
    case SF_FORMAT_PCM_32:
    case SF_FORMAT_FLOAT:
        bytes = 4;
        break;
    default:
        break;
    }
    const std::uint64_t frame = static_cast<std::uint64_t>(bytes) * static_cast<std::uint64_t>(channels);
    if (frame == 0 || f.size() < header_size)
        return "";
    const std::uint64_t partial = (f.size() - header_size) % frame;
    return partial == 0 ? ""
                        : "is truncated: the data ends in the middle of a frame: " +
                              std::to_string(partial) + " of its " + std::to_string(frame) +
                              " bytes are there";
}

// Ogg: pages of a 27-byte header, a table of segment lengths and the
// segments; the last page of each logical stream carries the end-of-stream
// flag.
constexpr const char* kPageCut = "is truncated: its last Ogg page is cut short";

std::string ogg(const File& f)
{
    std::map<std::uint32_t, bool> ended; // by serial number
    for (std::uint64_t pos = 0; pos < f.size();) {
        const Bytes header = f.read(pos, 27);
        if (!starts(header, 0, "OggS")) {
            // Not a page (something this reader does not know: libsndfile
            // judged it), unless it is the start of one, cut.
            const bool cut = header.size() < 4 &&
                             std::memcmp(header.data(), "OggS", header.size()) == 0;
            return cut ? kPageCut : "";
        }
        if (header.size() < 27)
            return kPageCut;
        const Bytes table = f.read(pos + 27, header[26]);
        if (table.size() < header[26])
            return kPageCut;
        std::uint64_t size = 27 + table.size();
        for (unsigned char s : table)
            size += s;
        if (size > f.size() - pos)
            return kPageCut;
        ended[static_cast<std::uint32_t>(little(header, 14, 4))] = (header[5] & 0x04) != 0;
        pos += size;
    }
    for (const auto& [serial, end] : ended)
        if (!end)
            return "is truncated: it ends without the last page of its stream (no end-of-stream "
                   "mark)";
    return "";
}

// The length of a FLAC frame header that starts at b[at] (sync code
// included, CRC-8 excluded), or 0 when it cannot be one.
std::size_t flac_header_size(const Bytes& b, std::size_t at)
{
    if (b.size() < at + 5 || b[at] != 0xFF || (b[at + 1] & 0xFE) != 0xF8)
        return 0;
    const int block = b[at + 2] >> 4;
    const int rate = b[at + 2] & 0x0F;
    if (block == 0 || rate == 0x0F || (b[at + 3] >> 4) > 10 || (b[at + 3] & 1) != 0)
        return 0;
    // The frame or sample number, coded as UTF-8 of up to 7 bytes.
    const unsigned char lead = b[at + 4];
    std::size_t number = 1;
    if (lead >= 0x80) {
        if ((lead & 0xC0) == 0x80 || lead == 0xFF)
            return 0;
        for (unsigned char m = 0x40; (lead & m) != 0; m >>= 1)
            ++number;
    }
    return 4 + number + (block == 6 ? 1 : block == 7 ? 2 : 0) +
           (rate == 12 ? 1 : rate == 13 || rate == 14 ? 2 : 0);
}

// A FLAC stream whose STREAMINFO states no length: it must end on a whole
// frame, one whose header's CRC-8 and whole CRC-16 hold up to the file's
// end (an ID3v1 tag after it is left aside).
std::string flac(const File& f)
{
    const Bytes head = f.read(0, 42);
    if (head.size() < 42 || !starts(head, 0, "fLaC"))
        return "";
    const std::uint64_t total = (big(head, 21, 1) & 0x0F) << 32 | big(head, 22, 4);
    if (total != 0)
        return ""; // the caller compares the frames read with the total
    // The metadata blocks, to where the frames start.
    std::uint64_t pos = 4;
    for (bool last = false; !last;) {
        const Bytes block = f.read(pos, 4);
        if (block.size() < 4)
            return kHeaderCut;
        last = (block[0] & 0x80) != 0;
        pos += 4 + big(block, 1, 3);
    }
    std::uint64_t end = f.size();
    if (end >= pos + 128 && starts(f.read(end - 128, 3), 0, "TAG"))
        end -= 128;
    if (pos >= end)
        return pos > end ? kHeaderCut : ""; // no frames at all
    // The last frame lies within the largest frame size STREAMINFO gives,
    // or, where it gives none, within the largest a frame can be (65535
    // samples of 8 channels of 32 bits, uncoded).
    std::uint64_t largest = big(head, 15, 3);
    if (largest == 0)
        largest = 65535ULL * 8 * 4 + 64;
    const std::uint64_t from = end - std::min(end - pos, largest);
    const Bytes tail = f.read(from, static_cast<std::size_t>(end - from));
    // From the end back: the first header whose CRC-8 holds is the last
    // frame's, unless the last frame's data happens to hold one (1 in 256
    // of its rare sync codes); a few are tried, so that a cut file does not
    // cost a CRC-16 of the whole window per frame in it.
    int tries = 8;
    for (std::size_t at = tail.size(); at-- > 0 && tries > 0;) {
        const std::size_t n = flac_header_size(tail, at);
        if (n == 0 || tail.size() < at + n + 3 || flac_crc8(tail.data() + at, n) != tail[at + n])
            continue;
        if (flac_crc16(tail.data() + at, tail.size() - at) == 0)
            return "";
        --tries;
    }
    return "is truncated: it states no length, and it does not end on a whole frame (its last "
           "frame is cut short)";
}

} // namespace

std::uint8_t flac_crc8(const unsigned char* data, std::size_t size)
{
    unsigned crc = 0;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int k = 0; k < 8; ++k)
            crc = (crc & 0x80) != 0 ? (crc << 1 ^ 0x07) & 0xFF : crc << 1 & 0xFF;
    }
    return static_cast<std::uint8_t>(crc);
}

std::uint16_t flac_crc16(const unsigned char* data, std::size_t size)
{
    unsigned crc = 0;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= static_cast<unsigned>(data[i]) << 8;
        for (int k = 0; k < 8; ++k)
            crc = (crc & 0x8000) != 0 ? (crc << 1 ^ 0x8005) & 0xFFFF : crc << 1 & 0xFFFF;
    }
    return static_cast<std::uint16_t>(crc);
}

std::string missing_data(const std::string& path, int format, int channels)
{
    const File f(path);
    if (!f.regular() || channels < 1)
        return "";
    switch (format & SF_FORMAT_TYPEMASK) {
    case SF_FORMAT_WAV:
    case SF_FORMAT_WAVEX:
    case SF_FORMAT_RF64:
        return riff(f);
    case SF_FORMAT_AIFF:
        return aiff(f);
    case SF_FORMAT_W64:
        return w64(f);
    case SF_FORMAT_AU:
        return au(f);
    case SF_FORMAT_VOC:
        return voc(f);
    case SF_FORMAT_NIST:
        return nist(f);
    case SF_FORMAT_IRCAM:
        return whole_frames(f, 1024, format, channels);
    case SF_FORMAT_PAF:
        return whole_frames(f, 2048, format, channels);
    case SF_FORMAT_OGG:
        return ogg(f);
    case SF_FORMAT_FLAC:
        return flac(f);
    default:
        return "";
    }
}

} // namespace asrc_audio
