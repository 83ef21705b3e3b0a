#include "omf/OmfContainer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csetjmp>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

// The JPEG library's headers need FILE and size_t first.
#include <jerror.h>
#include <jpeglib.h>

#include "base/ByteOrder.h"

namespace {

constexpr uint8_t kMagic[8] = {0x89, 'O', 'M', 'F', 0x0D, 0x0A, 0x1A, 0x0A};
constexpr uint16_t kMajor = 1;
constexpr uint16_t kMinor = 0;
constexpr uint64_t kHeaderBytes = 16;
constexpr uint64_t kObjectHead = 12;   // class, u64 body length
constexpr uint64_t kPropertyHead = 13; // name, u8 type, u64 length
constexpr uint32_t kJpegMaxSide = 65500;

enum PropertyType : uint8_t { kU32 = 1, kI64 = 2, kText = 3, kBytes = 4 };

// Four ASCII characters as the little-endian word they are read as.
constexpr uint32_t tag(const char (&s)[5]) {
    return uint32_t(uint8_t(s[0])) | uint32_t(uint8_t(s[1])) << 8 | uint32_t(uint8_t(s[2])) << 16 |
           uint32_t(uint8_t(s[3])) << 24;
}
constexpr uint32_t kMDES = tag("MDES"), kSAMP = tag("SAMP"), kMDID = tag("MDID"), kKIND = tag("KIND"),
                   kCRTR = tag("CRTR"), kWDTH = tag("WDTH"), kHGHT = tag("HGHT"), kBITS = tag("BITS"),
                   kFLAY = tag("FLAY"), kCMPR = tag("CMPR"), kDATA = tag("DATA");

std::string tagText(uint32_t t) {
    std::string s(4, '?');
    for (int i = 0; i < 4; ++i) {
        const char c = char(t >> (8 * i));
        if (c >= 0x20 && c < 0x7f) s[size_t(i)] = c;
    }
    return s;
}

std::string printed(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string printed(const char* fmt, ...) {
    char text[512];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    return text;
}

std::string systemText(int error) {
    return std::strerror(error);
}

// ------------------------------------------------------------------ toolkit

std::mutex g_toolkitMutex;
long g_toolkitReferences = 0;

// ------------------------------------------------------------------ reading

// The bytes of a regular file (positional reads, small ones through a
// window) or of a caller's memory.
class Source {
public:
    Source() = default;
    ~Source() { closeFile(); }
    Source(const Source&) = delete;
    Source& operator=(const Source&) = delete;

    // Empty, or why the file cannot be read.
    std::string openFile(const char* path) {
        m_fd = ::open(path, O_RDONLY | O_CLOEXEC);
        if (m_fd < 0) return systemText(errno);
        struct stat st {};
        std::string why;
        if (::fstat(m_fd, &st) != 0)
            why = systemText(errno);
        else if (S_ISDIR(st.st_mode))
            why = systemText(EISDIR);
        else if (!S_ISREG(st.st_mode))
            why = "not a regular file";
        if (!why.empty()) {
            closeFile();
            return why;
        }
        m_size = uint64_t(st.st_size);
        return why;
    }
    void openMemory(const void* bytes, size_t size) {
        m_memory = static_cast<const uint8_t*>(bytes);
        m_size = bytes ? size : 0;
    }
    void closeFile() {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
        m_memory = nullptr;
        m_size = 0;
        std::vector<uint8_t>().swap(m_window);
        m_windowLength = 0;
    }

    uint64_t size() const { return m_size; }
    // The bytes in memory from pos on (memory sources only), else null.
    const uint8_t* memoryAt(uint64_t pos) const { return m_memory ? m_memory + pos : nullptr; }

    // Exactly n bytes from pos, or false.
    bool readAt(uint64_t pos, void* dst, uint64_t n) {
        if (pos > m_size || n > m_size - pos) return false;
        if (n == 0) return true;
        if (m_memory) {
            std::memcpy(dst, m_memory + pos, size_t(n));
            return true;
        }
        if (n > kWindow / 4) return readFile(pos, static_cast<uint8_t*>(dst), n);
        if (pos < m_windowPos || pos + n > m_windowPos + m_windowLength) {
            m_window.resize(kWindow);
            const uint64_t length = std::min<uint64_t>(kWindow, m_size - pos);
            if (!readFile(pos, m_window.data(), length)) return false;
            m_windowPos = pos;
            m_windowLength = size_t(length);
        }
        std::memcpy(dst, m_window.data() + (pos - m_windowPos), size_t(n));
        return true;
    }

private:
    static constexpr size_t kWindow = 65536;

    bool readFile(uint64_t pos, uint8_t* dst, uint64_t n) {
        while (n > 0) {
            const ssize_t got = ::pread(m_fd, dst, size_t(std::min<uint64_t>(n, 1u << 30)), off_t(pos));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return false; // an error, or a file cut short since it was measured
            dst += got;
            pos += uint64_t(got);
            n -= uint64_t(got);
        }
        return true;
    }

    int m_fd = -1;
    const uint8_t* m_memory = nullptr;
    uint64_t m_size = 0;
    std::vector<uint8_t> m_window;
    uint64_t m_windowPos = 0;
    size_t m_windowLength = 0;
};

struct SampleRef {
    uint64_t offset = 0; // of the DATA value
    uint64_t length = 0;
};

struct Media {
    uint32_t id = 0;
    uint32_t kind = 0;
    uint32_t width = 0, height = 0, bits = 0, layout = 0, compression = 0;
    std::vector<SampleRef> samples;
    uint64_t storedBytes = 0;
};

// A property a class knows: its name and type.
struct PropertySpec {
    uint32_t name;
    uint8_t type;
};

// What the reader found of one known property.
struct Found {
    bool seen = false;
    uint32_t u32 = 0;
    uint64_t offset = 0; // of the value
    uint64_t length = 0;
};

constexpr PropertySpec kMediaProperties[] = {{kMDID, kU32}, {kKIND, kU32}, {kCRTR, kText}, {kWDTH, kU32},
                                             {kHGHT, kU32}, {kBITS, kU32}, {kFLAY, kU32},  {kCMPR, kU32}};
enum {
    kMediaId,
    kMediaKind,
    kMediaCreator,
    kMediaWidth,
    kMediaHeight,
    kMediaBits,
    kMediaLayout,
    kMediaCompression
};

constexpr PropertySpec kSampleProperties[] = {{kMDID, kU32}, {kDATA, kBytes}};
enum { kSampleMedia, kSampleData };

// Reads the properties of the body [begin, end) of an object, keeping those of
// the specs in found. False with the reason in why.
template <size_t N>
bool readProperties(Source& src, uint32_t cls, uint64_t objectAt, uint64_t begin, uint64_t end,
                    const PropertySpec (&specs)[N], Found (&found)[N], std::string& why) {
    uint64_t at = begin;
    const auto refuse = [&](const std::string& what) {
        why = printed("object %s at offset %llu: %s", tagText(cls).c_str(), (unsigned long long)objectAt,
                      what.c_str());
        return false;
    };
    while (at < end) {
        uint8_t head[kPropertyHead];
        if (end - at < kPropertyHead || !src.readAt(at, head, kPropertyHead))
            return refuse(printed("property header cut short at offset %llu", (unsigned long long)at));
        const uint32_t name = ByteOrder::getU32LE(head);
        const uint8_t type = head[4];
        const uint64_t length = ByteOrder::getU32LE(head + 5) | uint64_t(ByteOrder::getU32LE(head + 9)) << 32;
        const uint64_t valueAt = at + kPropertyHead;
        const std::string named = tagText(name);
        if (length > end - valueAt) return refuse("property " + named + ": length past its object");
        if ((type == kU32 && length != 4) || (type == kI64 && length != 8))
            return refuse(printed("property %s: length %llu for a %s", named.c_str(),
                                  (unsigned long long)length, type == kU32 ? "u32" : "i64"));
        for (size_t i = 0; i < N; ++i) {
            if (specs[i].name != name) continue;
            if (type != specs[i].type)
                return refuse(printed("property %s has type %u, %u expected", named.c_str(), unsigned(type),
                                      unsigned(specs[i].type)));
            if (found[i].seen) return refuse("duplicate property " + named);
            found[i].seen = true;
            found[i].offset = valueAt;
            found[i].length = length;
            if (type == kU32) {
                uint8_t v[4];
                if (!src.readAt(valueAt, v, 4)) return refuse("property " + named + " cut short");
                found[i].u32 = ByteOrder::getU32LE(v);
            }
        }
        at = valueAt + length;
    }
    return true;
}

template <size_t N>
bool requireProperties(uint32_t cls, uint64_t objectAt, const PropertySpec (&specs)[N],
                       const Found (&found)[N], std::initializer_list<int> required, std::string& why) {
    for (int i : required)
        if (!found[i].seen) {
            why = printed("object %s at offset %llu: no property %s", tagText(cls).c_str(),
                          (unsigned long long)objectAt, tagText(specs[i].name).c_str());
            return false;
        }
    return true;
}

// The size of a JPEG stream from its frame header, walking the markers
// before it inside [begin, end). False when there is none.
bool jpegFrameSize(Source& src, uint64_t begin, uint64_t end, uint32_t& width, uint32_t& height,
                   std::string& why) {
    uint8_t b[8];
    if (end - begin < 2 || !src.readAt(begin, b, 2) || b[0] != 0xFF || b[1] != 0xD8) {
        why = "no JPEG stream (no start of image)";
        return false;
    }
    uint64_t at = begin + 2;
    for (;;) {
        // A marker: 0xFF (fill bytes allowed), then its code.
        if (at >= end || !src.readAt(at, b, 1)) break;
        if (b[0] != 0xFF) break;
        uint8_t code = 0xFF;
        while (code == 0xFF) {
            if (++at >= end || !src.readAt(at, &code, 1)) {
                why = "JPEG stream cut short before its frame header";
                return false;
            }
        }
        ++at;
        if (code == 0x01 || (code >= 0xD0 && code <= 0xD8)) continue; // markers without a segment
        if (code == 0xD9 || code == 0xDA) break;                      // end of image, start of scan
        if (end - at < 2 || !src.readAt(at, b, 2)) break;
        const uint64_t length = ByteOrder::getU16BE(b);
        if (length < 2 || length > end - at) break;
        const bool frame = code >= 0xC0 && code <= 0xCF && code != 0xC4 && code != 0xC8 && code != 0xCC;
        if (frame) {
            if (length < 8 || !src.readAt(at + 2, b, 6)) break;
            height = ByteOrder::getU16BE(b + 1);
            width = ByteOrder::getU16BE(b + 3);
            return true;
        }
        at += length;
    }
    why = "JPEG stream without a frame header";
    return false;
}

// ------------------------------------------------------------------ JPEG

struct JpegError {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

[[noreturn]] void jpegFail(j_common_ptr c) {
    auto* e = reinterpret_cast<JpegError*>(c->err);
    (*c->err->format_message)(c, e->message);
    std::longjmp(e->jump, 1);
}

// Warnings (level -1) mean damaged data: a stream that needs them is refused.
// Trace messages are dropped; nothing is printed.
void jpegMessage(j_common_ptr c, int level) {
    if (level < 0) jpegFail(c);
}

void jpegSilent(j_common_ptr) {}

void setUpErrors(JpegError& e) {
    jpeg_std_error(&e.pub);
    e.pub.error_exit = jpegFail;
    e.pub.emit_message = jpegMessage;
    e.pub.output_message = jpegSilent;
    e.message[0] = '\0';
}

// Decodes one stream of exactly width x height into RGB rows (with alpha:
// RGBA, alpha 255); false with the library's message in why (JMSG_LENGTH_MAX
// bytes). No C++ object lives across the jump.
bool decodeJpeg(const uint8_t* data, uint64_t size, uint32_t width, uint32_t height, bool alpha, uint8_t* out,
                char* why) {
    jpeg_decompress_struct cinfo;
    JpegError err;
    cinfo.err = &err.pub;
    setUpErrors(err);
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&cinfo);
        std::snprintf(why, JMSG_LENGTH_MAX, "%s", err.message);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, data, (unsigned long)size);
    if (jpeg_read_header(&cinfo, TRUE) != JPEG_HEADER_OK || cinfo.image_width != width ||
        cinfo.image_height != height) {
        std::snprintf(why, JMSG_LENGTH_MAX, "JPEG stream of %u x %u, the descriptor says %u x %u",
                      unsigned(cinfo.image_width), unsigned(cinfo.image_height), unsigned(width),
                      unsigned(height));
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    // The same colour conversion either way; RGBA only adds the alpha byte.
    cinfo.out_color_space = alpha ? JCS_EXT_RGBA : JCS_RGB;
    cinfo.dct_method = JDCT_ISLOW;
    jpeg_start_decompress(&cinfo);
    if (cinfo.output_components != (alpha ? 4 : 3)) {
        std::snprintf(why, JMSG_LENGTH_MAX, "JPEG stream does not decode to RGB");
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    const size_t stride = size_t(width) * (alpha ? 4 : 3);
    while (cinfo.output_scanline < height) {
        JSAMPROW rows[32];
        const JDIMENSION n = std::min<JDIMENSION>(32, height - cinfo.output_scanline);
        for (JDIMENSION i = 0; i < n; ++i) rows[i] = out + size_t(cinfo.output_scanline + i) * stride;
        jpeg_read_scanlines(&cinfo, rows, n);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return true;
}

// A growing malloc'd buffer as the compressor's destination: freed by the
// caller whatever happens, so a failure in the middle leaks nothing.
struct MemoryDestination {
    jpeg_destination_mgr pub;
    unsigned char* data;
    size_t capacity;
};

void destinationStart(j_compress_ptr) {}

boolean destinationFull(j_compress_ptr c) {
    auto* d = reinterpret_cast<MemoryDestination*>(c->dest);
    const size_t grown = d->capacity * 2;
    auto* p = static_cast<unsigned char*>(std::realloc(d->data, grown));
    if (!p) ERREXIT1(c, JERR_OUT_OF_MEMORY, 0);
    d->pub.next_output_byte = p + d->capacity;
    d->pub.free_in_buffer = grown - d->capacity;
    d->data = p;
    d->capacity = grown;
    return TRUE;
}

void destinationEnd(j_compress_ptr) {}

// Where a frame's rows come from: the caller's whole frame, or bands its row
// source fills into a scratch buffer.
struct RowFeed {
    const uint8_t* whole = nullptr;
    OMF_RowSource fill = nullptr;
    void* context = nullptr;
    uint8_t* scratch = nullptr; // room for kBandRows rows (JPEG) or a band (raw)

    const uint8_t* rows(uint32_t first, uint32_t n, size_t stride) const {
        if (whole) return whole + size_t(first) * stride;
        fill(context, first, n, scratch);
        return scratch;
    }
};

constexpr uint32_t kJpegBandRows = 32;

// Encodes RGB rows at quality 90, 4:4:4, accurate integer DCT into
// dest (its data freed by the caller); the bytes used in `used`.
bool encodeJpeg(const RowFeed& feed, uint32_t width, uint32_t height, MemoryDestination& dest, size_t& used,
                char* why) {
    jpeg_compress_struct cinfo;
    JpegError err;
    cinfo.err = &err.pub;
    setUpErrors(err);
    if (setjmp(err.jump)) {
        jpeg_destroy_compress(&cinfo);
        std::snprintf(why, JMSG_LENGTH_MAX, "%s", err.message);
        return false;
    }
    jpeg_create_compress(&cinfo);
    dest.pub.init_destination = destinationStart;
    dest.pub.empty_output_buffer = destinationFull;
    dest.pub.term_destination = destinationEnd;
    dest.pub.next_output_byte = dest.data;
    dest.pub.free_in_buffer = dest.capacity;
    cinfo.dest = &dest.pub;
    cinfo.image_width = width;
    cinfo.image_height = height;
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 90, TRUE);
    for (int i = 0; i < cinfo.num_components; ++i) {
        cinfo.comp_info[i].h_samp_factor = 1;
        cinfo.comp_info[i].v_samp_factor = 1;
    }
    cinfo.dct_method = JDCT_ISLOW;
    jpeg_start_compress(&cinfo, TRUE);
    const size_t stride = size_t(width) * 3;
    while (cinfo.next_scanline < height) {
        JSAMPROW rows[kJpegBandRows];
        const JDIMENSION n = std::min<JDIMENSION>(kJpegBandRows, height - cinfo.next_scanline);
        const uint8_t* band = feed.rows(cinfo.next_scanline, n, stride);
        for (JDIMENSION i = 0; i < n; ++i) rows[i] = const_cast<JSAMPROW>(band + size_t(i) * stride);
        jpeg_write_scanlines(&cinfo, rows, n);
    }
    jpeg_finish_compress(&cinfo);
    used = dest.capacity - dest.pub.free_in_buffer;
    jpeg_destroy_compress(&cinfo);
    return true;
}

// ------------------------------------------------------------------ writing

// A new file beside target, created exclusively with the given mode; -1 with
// errno set when the folder takes none.
int createBeside(const std::string& target, mode_t mode, std::string& name) {
    static std::atomic<unsigned> serial{0};
    const size_t slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    for (int attempt = 0; attempt < 32; ++attempt) {
        const unsigned stamp = unsigned(::getpid()) * 2654435761u + serial.fetch_add(1) * 40503u;
        name = printed("%s.%s.omf-%08x.part", folder.c_str(), base.c_str(), stamp);
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
}

// Where the bytes go: a temporary file renamed over the target at the end,
// or the target itself when it is no regular file.
class Sink {
public:
    ~Sink() { abandon(); }

    bool open(const char* path, std::string& why) {
        m_failed = false;
        m_error = 0;
        std::string target = path;
        struct stat st {};
        const bool exists = ::stat(path, &st) == 0;
        if (exists && S_ISDIR(st.st_mode)) {
            why = "cannot create: is a directory";
            return false;
        }
        if (exists && !S_ISREG(st.st_mode)) return openDirect(path, O_WRONLY, why);
        if (exists) {
            // Renaming must not get round the file's protection.
            if (::access(path, W_OK) != 0 || (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
                why = "cannot create: " + systemText(errno ? errno : EACCES);
                return false;
            }
            if (char* real = ::realpath(path, nullptr)) { // a link stays a link
                target = real;
                std::free(real);
            }
        } else {
            struct stat link {};
            if (::lstat(path, &link) == 0) return openDirect(path, O_WRONLY | O_CREAT | O_TRUNC, why);
        }
        const mode_t mode = exists ? mode_t(st.st_mode & 07777) : mode_t(0666);
        m_fd = createBeside(target, mode, m_temporary);
        if (m_fd < 0) {
            m_temporary.clear();
            // A folder that takes no new file: a target that may be written still can be.
            if (exists) return openDirect(path, O_WRONLY | O_TRUNC, why);
            why = "cannot create: " + systemText(errno);
            return false;
        }
        if (exists) {
            [[maybe_unused]] const int owned = ::fchown(m_fd, st.st_uid, st.st_gid);
            ::fchmod(m_fd, mode);
        }
        m_target = target;
        return true;
    }

    bool failed() const { return m_failed; }
    std::vector<uint8_t>& pending() { return m_pending; }

    // The pending bytes, then n bytes from data (not copied).
    bool write(const void* data, uint64_t n, std::string& why) {
        if (m_failed || m_fd < 0) return false;
        if (!writeAll(m_pending.data(), m_pending.size()) || !writeAll(data, n)) {
            m_failed = true;
            why = "cannot write: " + systemText(m_error);
            return false;
        }
        m_pending.clear();
        return true;
    }

    bool finish(std::string& why) {
        if (m_fd < 0) return false;
        bool ok = write(nullptr, 0, why);
        const int fd = m_fd;
        m_fd = -1;
        if (::close(fd) != 0 && ok) {
            ok = false;
            why = "cannot complete the file: " + systemText(errno);
        }
        if (ok && !m_temporary.empty() && ::rename(m_temporary.c_str(), m_target.c_str()) != 0) {
            ok = false;
            why = "cannot put the file in place: " + systemText(errno);
        }
        if (ok) m_temporary.clear();
        abandon();
        return ok;
    }

    void abandon() {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
        if (!m_temporary.empty()) ::unlink(m_temporary.c_str());
        m_temporary.clear();
        m_pending.clear();
    }

private:
    bool openDirect(const char* path, int flags, std::string& why) {
        m_fd = ::open(path, flags | O_CLOEXEC, 0666);
        if (m_fd < 0) why = "cannot create: " + systemText(errno);
        return m_fd >= 0;
    }

    bool writeAll(const void* data, uint64_t n) {
        const auto* p = static_cast<const uint8_t*>(data);
        while (n > 0) {
            const ssize_t put = ::write(m_fd, p, size_t(std::min<uint64_t>(n, 1u << 30)));
            if (put < 0 && errno == EINTR) continue;
            if (put <= 0) {
                m_error = put < 0 ? errno : ENOSPC;
                return false;
            }
            p += put;
            n -= uint64_t(put);
        }
        return true;
    }

    int m_fd = -1;
    std::string m_temporary; // empty when the target is written directly
    std::string m_target;
    std::vector<uint8_t> m_pending; // small parts of the structure, written before the next data
    bool m_failed = false;
    int m_error = 0;
};

void putU32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(uint8_t(v >> (8 * i)));
}
void putU64(std::vector<uint8_t>& out, uint64_t v) {
    putU32(out, uint32_t(v));
    putU32(out, uint32_t(v >> 32));
}
void putObject(std::vector<uint8_t>& out, uint32_t cls, uint64_t bodyLength) {
    putU32(out, cls);
    putU64(out, bodyLength);
}
void putPropertyHead(std::vector<uint8_t>& out, uint32_t name, uint8_t type, uint64_t length) {
    putU32(out, name);
    out.push_back(type);
    putU64(out, length);
}
void putU32Property(std::vector<uint8_t>& out, uint32_t name, uint32_t v) {
    putPropertyHead(out, name, kU32, 4);
    putU32(out, v);
}

} // namespace

// ================================================================ status, toolkit

const char* OMF_statusText(OMF_Status status) {
    switch (status) {
    case OMF_Status::Ok:
        return "success";
    case OMF_Status::NotStarted:
        return "the OMF toolkit is not started";
    case OMF_Status::CannotOpen:
        return "the file cannot be opened";
    case OMF_Status::NotOmf:
        return "not an OMF media file written by this library";
    case OMF_Status::BadVersion:
        return "another major version of the OMF media file";
    case OMF_Status::BadStructure:
        return "damaged OMF media file";
    case OMF_Status::NoSuchMedia:
        return "no such media";
    case OMF_Status::BufferTooSmall:
        return "buffer too small for the samples";
    case OMF_Status::WriteFailed:
        return "the file could not be written";
    case OMF_Status::BadDescriptor:
        return "media descriptor not supported";
    case OMF_Status::BadSample:
        return "sample of another size than its descriptor";
    case OMF_Status::JpegFailed:
        return "JPEG coding failed";
    case OMF_Status::WrongMode:
        return "the file is not open for this operation";
    case OMF_Status::OutOfMemory:
        return "out of memory";
    }
    return "unknown status";
}

OMF_Status OMF_Toolkit::start() {
    const std::lock_guard<std::mutex> lock(g_toolkitMutex);
    ++g_toolkitReferences;
    return OMF_Status::Ok;
}

OMF_Status OMF_Toolkit::stop() {
    const std::lock_guard<std::mutex> lock(g_toolkitMutex);
    if (g_toolkitReferences == 0) return OMF_Status::NotStarted;
    --g_toolkitReferences;
    return OMF_Status::Ok;
}

bool OMF_Toolkit::isRunning() {
    const std::lock_guard<std::mutex> lock(g_toolkitMutex);
    return g_toolkitReferences > 0;
}

// ================================================================ OMF_File

struct OMF_File::Impl {
    enum class Mode { Closed, Reading, Writing };
    Mode mode = Mode::Closed;
    std::string detail;

    // reading
    Source source;
    std::vector<Media> media;
    bool decompress = false;
    bool decodeAlpha = false;

    // writing
    Sink sink;
    Media current; // the last described media (id 0: none yet)
    uint32_t described = 0;

    OMF_Status fail(OMF_Status status, std::string why) {
        detail = std::move(why);
        return status;
    }

    void reset() {
        source.closeFile();
        std::vector<Media>().swap(media);
        sink.abandon();
        current = Media();
        described = 0;
        mode = Mode::Closed;
    }

    OMF_Status parse();
    int64_t readJpegSamples(const Media& m, uint8_t* out, uint64_t capacity);
    // The bytes of one frame of the current media; 0 when there is none.
    uint64_t frameBytes() const;
    OMF_Status writeFrame(RowFeed& feed);
};

OMF_Status OMF_File::Impl::parse() {
    uint8_t header[kHeaderBytes];
    if (source.size() < 8 || !source.readAt(0, header, 8) || std::memcmp(header, kMagic, 8) != 0)
        return fail(OMF_Status::NotOmf, OMF_statusText(OMF_Status::NotOmf));
    if (!source.readAt(0, header, kHeaderBytes)) return fail(OMF_Status::BadStructure, "header cut short");
    const unsigned major = ByteOrder::getU16LE(header + 8);
    if (major != kMajor)
        return fail(OMF_Status::BadVersion,
                    printed("version %u.%u, only version %u is read", major,
                            unsigned(ByteOrder::getU16LE(header + 10)), unsigned(kMajor)));

    struct PendingSample {
        uint32_t media;
        SampleRef ref;
    };
    std::vector<PendingSample> samples;
    std::unordered_map<uint32_t, size_t> byId;
    std::string why;
    const uint64_t end = source.size();
    uint64_t at = kHeaderBytes;
    while (at < end) {
        uint8_t head[kObjectHead];
        if (end - at < kObjectHead || !source.readAt(at, head, kObjectHead))
            return fail(OMF_Status::BadStructure,
                        printed("object header cut short at offset %llu", (unsigned long long)at));
        const uint32_t cls = ByteOrder::getU32LE(head);
        const uint64_t length = ByteOrder::getU32LE(head + 4) | uint64_t(ByteOrder::getU32LE(head + 8)) << 32;
        const uint64_t body = at + kObjectHead;
        if (length > end - body)
            return fail(OMF_Status::BadStructure,
                        printed("object %s at offset %llu: length past the end of the file",
                                tagText(cls).c_str(), (unsigned long long)at));
        if (cls == kMDES) {
            Found f[std::size(kMediaProperties)];
            if (!readProperties(source, cls, at, body, body + length, kMediaProperties, f, why) ||
                !requireProperties(cls, at, kMediaProperties, f, {kMediaId, kMediaKind, kMediaCreator}, why))
                return fail(OMF_Status::BadStructure, why);
            Media m;
            m.id = f[kMediaId].u32;
            m.kind = f[kMediaKind].u32;
            if (m.kind == uint32_t(OMF_MediaKind::Video)) {
                if (!requireProperties(
                        cls, at, kMediaProperties, f,
                        {kMediaWidth, kMediaHeight, kMediaBits, kMediaLayout, kMediaCompression}, why))
                    return fail(OMF_Status::BadStructure, why);
                m.width = f[kMediaWidth].u32;
                m.height = f[kMediaHeight].u32;
                m.bits = f[kMediaBits].u32;
                m.layout = f[kMediaLayout].u32;
                m.compression = f[kMediaCompression].u32;
                if (m.compression > 1)
                    return fail(OMF_Status::BadStructure,
                                printed("media %u: unknown compression %u", m.id, m.compression));
            }
            if (!byId.emplace(m.id, media.size()).second)
                return fail(OMF_Status::BadStructure, printed("two media with MDID %u", m.id));
            if (media.size() == std::numeric_limits<uint32_t>::max())
                return fail(OMF_Status::BadStructure, "too many media");
            media.push_back(std::move(m));
        } else if (cls == kSAMP) {
            Found f[std::size(kSampleProperties)];
            if (!readProperties(source, cls, at, body, body + length, kSampleProperties, f, why) ||
                !requireProperties(cls, at, kSampleProperties, f, {kSampleMedia, kSampleData}, why))
                return fail(OMF_Status::BadStructure, why);
            samples.push_back({f[kSampleMedia].u32, {f[kSampleData].offset, f[kSampleData].length}});
        }
        at = body + length;
    }

    for (const PendingSample& s : samples) {
        const auto it = byId.find(s.media);
        if (it == byId.end())
            return fail(OMF_Status::BadStructure,
                        printed("a sample of media %u, which is not described", s.media));
        Media& m = media[it->second];
        m.samples.push_back(s.ref);
        m.storedBytes += s.ref.length; // at most the file's size
    }
    // JPEG samples must be of the descriptor's size before anyone sizes a buffer by it.
    for (const Media& m : media) {
        if (m.kind != uint32_t(OMF_MediaKind::Video) || m.compression != 1) continue;
        for (size_t i = 0; i < m.samples.size(); ++i) {
            uint32_t w = 0, h = 0;
            const SampleRef& s = m.samples[i];
            if (!jpegFrameSize(source, s.offset, s.offset + s.length, w, h, why))
                return fail(OMF_Status::BadSample,
                            printed("media %u, sample %zu: %s", m.id, i + 1, why.c_str()));
            if (w != m.width || h != m.height)
                return fail(
                    OMF_Status::BadSample,
                    printed("media %u, sample %zu: JPEG stream of %u x %u, the descriptor says %u x %u", m.id,
                            i + 1, w, h, m.width, m.height));
        }
    }
    return OMF_Status::Ok;
}

int64_t OMF_File::Impl::readJpegSamples(const Media& m, uint8_t* out, uint64_t capacity) {
    if (m.bits != 24)
        return int64_t(fail(OMF_Status::BadDescriptor,
                            printed("JPEG media of %u bits per pixel; 24 are decoded", m.bits)));
    uint64_t frame = 0, total = 0;
    if (__builtin_mul_overflow(uint64_t(m.width) * m.height, uint64_t(decodeAlpha ? 4 : 3), &frame) ||
        __builtin_mul_overflow(frame, uint64_t(m.samples.size()), &total) || total > capacity)
        return int64_t(fail(OMF_Status::BufferTooSmall, OMF_statusText(OMF_Status::BufferTooSmall)));
    std::vector<uint8_t> stream;
    char why[JMSG_LENGTH_MAX];
    for (size_t i = 0; i < m.samples.size(); ++i) {
        const SampleRef& s = m.samples[i];
        const uint8_t* data = source.memoryAt(s.offset);
        if (!data) {
            try {
                stream.resize(size_t(s.length));
            } catch (const std::bad_alloc&) {
                return int64_t(fail(OMF_Status::OutOfMemory, OMF_statusText(OMF_Status::OutOfMemory)));
            }
            if (!source.readAt(s.offset, stream.data(), s.length))
                return int64_t(fail(OMF_Status::BadStructure, "file cut short while reading"));
            data = stream.data();
        }
        if (!decodeJpeg(data, s.length, m.width, m.height, decodeAlpha, out + i * frame, why))
            return int64_t(
                fail(OMF_Status::JpegFailed, printed("media %u, sample %zu: %s", m.id, i + 1, why)));
    }
    return int64_t(total);
}

OMF_File::OMF_File() : m(std::make_unique<Impl>()) {}

OMF_File::~OMF_File() {
    m->reset();
}

bool OMF_File::isOpen() const {
    return m->mode != Impl::Mode::Closed;
}

const std::string& OMF_File::errorDetail() const {
    return m->detail;
}

OMF_Status OMF_File::openRead(const char* utf8Path) {
    m->detail.clear();
    if (m->mode != Impl::Mode::Closed) return m->fail(OMF_Status::WrongMode, "a file is open already");
    if (!OMF_Toolkit::isRunning())
        return m->fail(OMF_Status::NotStarted, OMF_statusText(OMF_Status::NotStarted));
    if (!utf8Path) return m->fail(OMF_Status::CannotOpen, "no path");
    if (const std::string why = m->source.openFile(utf8Path); !why.empty())
        return m->fail(OMF_Status::CannotOpen, "cannot open: " + why);
    const OMF_Status status = m->parse();
    if (status != OMF_Status::Ok) {
        m->reset();
        return status;
    }
    m->mode = Impl::Mode::Reading;
    return OMF_Status::Ok;
}

OMF_Status OMF_File::openMemory(const void* bytes, size_t size) {
    m->detail.clear();
    if (m->mode != Impl::Mode::Closed) return m->fail(OMF_Status::WrongMode, "a file is open already");
    if (!OMF_Toolkit::isRunning())
        return m->fail(OMF_Status::NotStarted, OMF_statusText(OMF_Status::NotStarted));
    m->source.openMemory(bytes, size);
    const OMF_Status status = m->parse();
    if (status != OMF_Status::Ok) {
        m->reset();
        return status;
    }
    m->mode = Impl::Mode::Reading;
    return OMF_Status::Ok;
}

OMF_Status OMF_File::create(const char* utf8Path) {
    m->detail.clear();
    if (m->mode != Impl::Mode::Closed) return m->fail(OMF_Status::WrongMode, "a file is open already");
    if (!OMF_Toolkit::isRunning())
        return m->fail(OMF_Status::NotStarted, OMF_statusText(OMF_Status::NotStarted));
    if (!utf8Path || !*utf8Path) return m->fail(OMF_Status::CannotOpen, "no path");
    std::string why;
    if (!m->sink.open(utf8Path, why)) return m->fail(OMF_Status::CannotOpen, why);
    m->mode = Impl::Mode::Writing;
    std::vector<uint8_t>& out = m->sink.pending();
    out.assign(kMagic, kMagic + 8);
    out.push_back(uint8_t(kMajor));
    out.push_back(uint8_t(kMajor >> 8));
    out.push_back(uint8_t(kMinor));
    out.push_back(uint8_t(kMinor >> 8));
    putU32(out, 0);
    return OMF_Status::Ok;
}

OMF_Status OMF_File::close() {
    if (m->mode == Impl::Mode::Closed) return OMF_Status::Ok;
    OMF_Status status = OMF_Status::Ok;
    if (m->mode == Impl::Mode::Writing) {
        std::string why;
        if (!m->sink.finish(why))
            status = m->fail(OMF_Status::WriteFailed, why.empty() ? "cannot write" : why);
    }
    m->reset();
    return status;
}

uint32_t OMF_File::mediaCount() const {
    return m->mode == Impl::Mode::Reading ? uint32_t(m->media.size()) : 0;
}

OMF_Status OMF_File::videoDescriptor(uint32_t media, OMF_VideoDescriptor& out) const {
    if (m->mode != Impl::Mode::Reading) return m->fail(OMF_Status::WrongMode, "not open for reading");
    if (media < 1 || media > m->media.size())
        return m->fail(OMF_Status::NoSuchMedia,
                       printed("no media %u (the file has %zu)", media, m->media.size()));
    const Media& d = m->media[media - 1];
    out = OMF_VideoDescriptor();
    out.kind = d.kind == 1 ? OMF_MediaKind::Video : d.kind == 2 ? OMF_MediaKind::Sound : OMF_MediaKind::Other;
    out.width = d.width;
    out.height = d.height;
    out.bitsPerPixel = d.bits;
    out.frameLayout = d.layout;
    out.compressed = d.compression == 1;
    out.sampleCount = d.samples.size();
    out.storedBytes = d.storedBytes;
    return OMF_Status::Ok;
}

void OMF_File::setDecompression(bool on) {
    m->decompress = on;
}

void OMF_File::setDecodedAlpha(bool on) {
    m->decodeAlpha = on;
}

int64_t OMF_File::readSamples(uint32_t media, void* buffer, uint64_t capacity) {
    m->detail.clear();
    if (m->mode != Impl::Mode::Reading)
        return int64_t(m->fail(OMF_Status::WrongMode, "not open for reading"));
    if (media < 1 || media > m->media.size())
        return int64_t(m->fail(OMF_Status::NoSuchMedia, printed("no media %u", media)));
    const Media& d = m->media[media - 1];
    auto* out = static_cast<uint8_t*>(buffer);
    if (m->decompress && d.kind == uint32_t(OMF_MediaKind::Video) && d.compression == 1)
        return m->readJpegSamples(d, out, capacity);
    if (d.storedBytes > capacity)
        return int64_t(m->fail(OMF_Status::BufferTooSmall, OMF_statusText(OMF_Status::BufferTooSmall)));
    uint64_t done = 0;
    for (const SampleRef& s : d.samples) {
        if (!m->source.readAt(s.offset, out + done, s.length))
            return int64_t(m->fail(OMF_Status::BadStructure, "file cut short while reading"));
        done += s.length;
    }
    return int64_t(done);
}

OMF_Status OMF_File::describeVideoMedia(const OMF_VideoDescriptor& d, const char* creator) {
    m->detail.clear();
    if (m->mode != Impl::Mode::Writing) return m->fail(OMF_Status::WrongMode, "not open for writing");
    if (m->sink.failed()) return m->fail(OMF_Status::WriteFailed, "an earlier write failed");
    if (d.width < 1 || d.height < 1 || d.bitsPerPixel < 8 || d.bitsPerPixel > 64 || d.bitsPerPixel % 8 != 0)
        return m->fail(OMF_Status::BadDescriptor, printed("video media of %u x %u, %u bits per pixel",
                                                          d.width, d.height, d.bitsPerPixel));
    if (uint64_t(d.width) * d.height > (uint64_t(1) << 60) / (d.bitsPerPixel / 8))
        return m->fail(OMF_Status::BadDescriptor,
                       printed("video media of %u x %u: too large", d.width, d.height));
    if (d.compressed && (d.bitsPerPixel != 24 || d.width > kJpegMaxSide || d.height > kJpegMaxSide))
        return m->fail(OMF_Status::BadDescriptor,
                       printed("JPEG media of %u x %u, %u bits per pixel (24 bits, at most %u x %u)", d.width,
                               d.height, d.bitsPerPixel, kJpegMaxSide, kJpegMaxSide));
    if (m->described == std::numeric_limits<uint32_t>::max())
        return m->fail(OMF_Status::BadDescriptor, "too many media");
    const std::string text = creator ? creator : "";
    Media& c = m->current;
    c = Media();
    c.id = ++m->described;
    c.kind = uint32_t(OMF_MediaKind::Video);
    c.width = d.width;
    c.height = d.height;
    c.bits = d.bitsPerPixel;
    c.layout = d.frameLayout;
    c.compression = d.compressed ? 1 : 0;
    std::vector<uint8_t>& out = m->sink.pending();
    putObject(out, kMDES, 7 * (kPropertyHead + 4) + kPropertyHead + text.size());
    putU32Property(out, kMDID, c.id);
    putU32Property(out, kKIND, c.kind);
    putPropertyHead(out, kCRTR, kText, text.size());
    out.insert(out.end(), text.begin(), text.end());
    putU32Property(out, kWDTH, c.width);
    putU32Property(out, kHGHT, c.height);
    putU32Property(out, kBITS, c.bits);
    putU32Property(out, kFLAY, c.layout);
    putU32Property(out, kCMPR, c.compression);
    return OMF_Status::Ok;
}

OMF_Status OMF_File::writeSample(const void* bytes, uint64_t size) {
    m->detail.clear();
    const uint64_t expected = m->frameBytes();
    if (expected && (size != expected || !bytes))
        return m->fail(OMF_Status::BadSample,
                       printed("sample of %llu bytes, %llu needed", (unsigned long long)size,
                               (unsigned long long)expected));
    RowFeed feed;
    feed.whole = static_cast<const uint8_t*>(bytes);
    return m->writeFrame(feed);
}

OMF_Status OMF_File::writeSampleRows(OMF_RowSource source, void* context) {
    m->detail.clear();
    if (!source) return m->fail(OMF_Status::BadSample, "no row source");
    RowFeed feed;
    feed.fill = source;
    feed.context = context;
    return m->writeFrame(feed);
}

uint64_t OMF_File::Impl::frameBytes() const {
    uint64_t bytes = 0;
    if (mode != Mode::Writing || current.id == 0 ||
        __builtin_mul_overflow(uint64_t(current.width) * current.height, uint64_t(current.bits / 8), &bytes))
        return 0;
    return bytes;
}

OMF_Status OMF_File::Impl::writeFrame(RowFeed& feed) {
    if (mode != Mode::Writing) return fail(OMF_Status::WrongMode, "not open for writing");
    if (sink.failed()) return fail(OMF_Status::WriteFailed, "an earlier write failed");
    const Media& c = current;
    if (c.id == 0) return fail(OMF_Status::BadDescriptor, "no media described");
    const uint64_t size = frameBytes();
    const size_t stride = size_t(c.width) * (c.bits / 8);
    std::vector<uint8_t>& out = sink.pending();
    std::string why;

    if (c.compression == 1) {
        // Untouched pages of the generous first guess cost nothing.
        MemoryDestination dest{};
        dest.capacity = size_t(size) + 65536;
        dest.data = static_cast<unsigned char*>(std::malloc(dest.capacity));
        std::unique_ptr<uint8_t[]> scratch;
        if (!feed.whole) scratch.reset(new (std::nothrow) uint8_t[size_t(kJpegBandRows) * stride]);
        feed.scratch = scratch.get();
        if (!dest.data || (!feed.whole && !feed.scratch)) {
            std::free(dest.data);
            return fail(OMF_Status::OutOfMemory, OMF_statusText(OMF_Status::OutOfMemory));
        }
        size_t used = 0;
        char jpegWhy[JMSG_LENGTH_MAX];
        if (!encodeJpeg(feed, c.width, c.height, dest, used, jpegWhy)) {
            std::free(dest.data);
            return fail(OMF_Status::JpegFailed, jpegWhy);
        }
        putObject(out, kSAMP, (kPropertyHead + 4) + kPropertyHead + used);
        putU32Property(out, kMDID, c.id);
        putPropertyHead(out, kDATA, kBytes, used);
        const bool written = sink.write(dest.data, used, why);
        std::free(dest.data);
        return written ? OMF_Status::Ok : fail(OMF_Status::WriteFailed, why);
    }

    putObject(out, kSAMP, (kPropertyHead + 4) + kPropertyHead + size);
    putU32Property(out, kMDID, c.id);
    putPropertyHead(out, kDATA, kBytes, size);
    if (feed.whole)
        return sink.write(feed.whole, size, why) ? OMF_Status::Ok : fail(OMF_Status::WriteFailed, why);
    // Bands of about 1 MiB, filled and written while they are in the cache.
    const uint32_t band =
        uint32_t(std::clamp<uint64_t>((1u << 20) / std::max<size_t>(stride, 1), 1, c.height));
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[size_t(band) * stride]);
    if (!buffer) return fail(OMF_Status::OutOfMemory, OMF_statusText(OMF_Status::OutOfMemory));
    for (uint32_t y = 0; y < c.height; y += band) {
        const uint32_t n = std::min(band, c.height - y);
        feed.fill(feed.context, y, n, buffer.get());
        if (!sink.write(buffer.get(), uint64_t(n) * stride, why)) return fail(OMF_Status::WriteFailed, why);
    }
    return OMF_Status::Ok;
}
