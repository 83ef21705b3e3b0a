#include "CelFiles.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <ostream>
#include <pthread.h>
#include <streambuf>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "Command.h"
#include "Console.h"
#include "MovieFiles.h"
#include "VectorCels.h"
#include "algo/composite/CompositeDetail.h"
#include "base/ByteOrder.h"
#include "base/Message.h"
#include "cel/Cel.h"
#include "cel/Context.h"
#include "celio/LayerInfo.h"
#include "celio/Manager.h"
#include "celio/handlers/IffHandler.h"
#include "celio/handlers/MovieHandler.h"
#include "celio/handlers/PngHandler.h"
#include "celio/handlers/PsdHandler.h"
#include "celio/handlers/RawHandlers.h"
#include "celio/handlers/TiffHandler.h"
#include "celio/handlers/VarScanHandler.h"
#include "celio/handlers/VideoFrameHandler.h"
#include "pixel/PixmapArea.h"
#include "pixel/PixmapCanvas.h"

namespace celtool {

namespace {

const CELIO_Manager* manager() {
    qxCelAddPixmapHandler();
    return CELIO_Manager::getInstance();
}

QString systemError(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

// ------------------------------------------------------------------ what the library says
//
// Everything the library, libtiff's reader and Qt say is kept per thread, so
// that a read or write on one thread (a batch converts frames on several)
// finds its own cause and its own failed-write report, never another frame's.

// Records of the library posted on this thread, collected instead of printed
// while a collector is open (innermost first).
struct Collector {
    std::vector<MSG_Record> records;
    Collector* outer = nullptr;
};
thread_local Collector* t_collector = nullptr;
thread_local std::string t_readerText;
thread_local QStringList t_qtMessages;

// The TIFF and IFF readers' diagnostics arrive through streams (each handler
// writes to its own under its own lock); this buffer hands each byte to the
// writing thread's text.
class ThreadTextBuffer final : public std::streambuf {
protected:
    int_type overflow(int_type c) override {
        if (c != traits_type::eof()) t_readerText.push_back(char(c));
        return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        t_readerText.append(s, size_t(n));
        return n;
    }
};

ThreadTextBuffer& threadTextBuffer() {
    static ThreadTextBuffer buffer; // holds no state: every byte goes to the writing thread's text
    return buffer;
}

// One stream per reader family: each is written under its family's own lock only.
std::ostream& tiffStream() {
    static std::ostream stream(&threadTextBuffer());
    return stream;
}
std::ostream& iffStream() {
    static std::ostream stream(&threadTextBuffer());
    return stream;
}

void keepQtMessage(QtMsgType, const QMessageLogContext&, const QString& text) {
    t_qtMessages << text;
}

// The library's records: to the open collector of the posting thread, else
// printed as the library would (a line of its own, through the console).
void librarySink(const MSG_Record& r) {
    if (t_collector) {
        t_collector->records.push_back(r);
        return;
    }
    QByteArray text = r.translated.toUtf8();
    if (text.endsWith('\n')) text.chop(1);
    writeLine(stderr, text);
}

// The manager's own words only repeat that a read failed.
bool isGeneric(const QString& source) {
    return source.startsWith(QLatin1String("unable to read")) ||
           source.startsWith(QLatin1String("file does not exists")) ||
           source.startsWith(QLatin1String("Could not complete reading from file")) ||
           source.startsWith(QLatin1String("could not read %1 from interactive"));
}

// Collects what the library, the TIFF and IFF readers and Qt say on this
// thread during one read or write, to give the one line that reports a
// failure its cause.
class Diagnostics {
public:
    Diagnostics() {
        quietLibraryOutput();
        m_frame.outer = t_collector;
        t_collector = &m_frame;
        t_readerText.clear();
        t_qtMessages.clear();
    }
    ~Diagnostics() { t_collector = m_frame.outer; }
    Diagnostics(const Diagnostics&) = delete;
    Diagnostics& operator=(const Diagnostics&) = delete;

    // The first thing said, with the file the library was given shown as the user named it.
    QString cause(const QString& file, const QString& shown) const {
        QStringList said;
        for (const MSG_Record& r : m_frame.records)
            if (!isGeneric(r.source)) said << r.translated;
        said += QString::fromStdString(t_readerText).split(QLatin1Char('\n'));
        said += t_qtMessages;
        for (QString s : said) {
            s = s.simplified();
            if (!file.isEmpty() && file != shown) s.replace(file, shown);
            while (s.endsWith(QLatin1Char('.')) || s.endsWith(QLatin1Char('!'))) s.chop(1);
            if (!s.isEmpty()) return s;
        }
        return QString();
    }

    // Whether the library reported a failed write (message code 20) on this thread.
    bool writeFailed() const {
        for (const MSG_Record& r : m_frame.records)
            if (r.code == 20) return true;
        return false;
    }

private:
    Collector m_frame;
};

// ------------------------------------------------------------------ temporary files
//
// Every temporary output file is listed while it exists, in a table a signal
// handler can walk (fixed slots, atomic states, no allocation), so that an
// interrupted celtool leaves none behind.

struct TemporarySlot {
    std::atomic<int> state{0}; // 0 free, 1 being filled, 2 live
    char path[4096];
};
TemporarySlot g_temporaries[256];

int listTemporary(const QByteArray& native) {
    if (native.size() >= qsizetype(sizeof(TemporarySlot::path))) return -1;
    for (int i = 0; i < int(std::size(g_temporaries)); ++i) {
        int expected = 0;
        TemporarySlot& slot = g_temporaries[i];
        if (!slot.state.compare_exchange_strong(expected, 1, std::memory_order_acquire)) continue;
        std::memcpy(slot.path, native.constData(), size_t(native.size()) + 1);
        slot.state.store(2, std::memory_order_release);
        return i;
    }
    return -1; // more than the table holds at once: this one is not listed
}

void unlistTemporary(int slot) {
    if (slot >= 0) g_temporaries[slot].state.store(0, std::memory_order_release);
}

// ------------------------------------------------------------------ pixels

using Rep = UT_SharedPtr<CEL_Representation>;

// What a picture holds beyond its pixel format.
struct PixelFacts {
    bool transparent = false; // a pixel is not opaque
    bool deep = false;        // a 16-bit value is not the image of an 8-bit one
    bool grey = true;         // every pixel has r = g = b
};

bool eightBit(int16_t v) {
    return v >= 0 && v == CEL_PixelRule::from8(CEL_PixelRule::to8(v));
}

// The picture as a canvas pixmap: what the cel holds, or its 16-bit canvas.
Rep canvasOf(CEL_Cel* cel) {
    const Rep best = cel->findBestPixmapRepresentation();
    if (dynamic_cast<const CEL_PixmapRGBA8*>(best.get()) ||
        dynamic_cast<const CEL_PixmapRGBA16*>(best.get()) ||
        dynamic_cast<const CEL_PixmapMatte8*>(best.get()) ||
        dynamic_cast<const CEL_PixmapMatte16*>(best.get()))
        return best;
    return cel->convertTo(CEL_Representation::PIXMAP_RGBA16);
}

PixelFacts factsOf(const CEL_Representation* rep) {
    PixelFacts f;
    if (const auto* p = dynamic_cast<const CEL_PixmapRGBA8*>(rep); p && p->data()) {
        // Accumulated without branches, so that the loop vectorises (a third of the
        // time), a block at a time: once both facts are known the rest is not read.
        const CEL_PixelRGBA8* px = p->data();
        uint8_t alpha = 255, mixed = 0;
        constexpr long long kBlock = 1 << 16;
        for (long long i = 0, n = (long long)p->width() * p->height(); i < n && (alpha == 255 || mixed == 0);
             i += kBlock)
            for (long long k = i, end = std::min(n, i + kBlock); k < end; ++k) {
                alpha &= px[k].a;
                mixed |= uint8_t((px[k].r ^ px[k].g) | (px[k].g ^ px[k].b));
            }
        f.transparent = alpha != 255;
        f.grey = mixed == 0;
    } else if (const auto* q = dynamic_cast<const CEL_PixmapRGBA16*>(rep); q && q->data()) {
        const CEL_PixelRGBA16* px = q->data();
        for (long long i = 0, n = (long long)q->width() * q->height(); i < n; ++i) {
            f.transparent |= px[i].a != 32767;
            f.grey &= px[i].r == px[i].g && px[i].g == px[i].b;
            f.deep |= !eightBit(px[i].r) || !eightBit(px[i].g) || !eightBit(px[i].b) || !eightBit(px[i].a);
        }
    } else if (const auto* m = dynamic_cast<const CEL_PixmapMatte16*>(rep); m && m->data()) {
        for (long long i = 0, n = (long long)m->width() * m->height(); i < n; ++i)
            f.deep |= !eightBit(m->data()[i]);
    }
    return f;
}

bool isMatte(const CEL_Representation* rep) {
    return dynamic_cast<const CEL_PixmapMatte8*>(rep) || dynamic_cast<const CEL_PixmapMatte16*>(rep);
}

bool isDeep(const CEL_Representation* rep) {
    return dynamic_cast<const CEL_PixmapRGBA16*>(rep) || dynamic_cast<const CEL_PixmapMatte16*>(rep) ||
           dynamic_cast<const CEL_PixmapArea*>(rep);
}

// The shape of a picture: the channels the file declared (0: unknown), alpha
// wherever a pixel is not opaque, one channel only for a grey picture.
CELIO_Shape shapeOf(const CEL_Representation* rep, const PixelFacts& f, int declared, bool deep) {
    if (isMatte(rep)) return {1, deep};
    const bool alpha = declared == 4 || declared == 2 || f.transparent;
    return {alpha ? 4 : declared == 1 && f.grey ? 1 : 3, deep};
}

uint8_t rounded8(int16_t v) {
    return v <= 0 ? uint8_t(0) : uint8_t((int32_t(v) * 255 + 16383) / 32767);
}

template <class P> UT_SharedPtr<CEL_Cel> celHolding(P* pixmap) {
    UT_SharedPtr<CEL_Cel> cel(new CEL_Cel(pixmap->getFormat()));
    cel->addRepresentation(Rep(pixmap));
    return cel;
}

// A grey picture (one matte channel) as opaque grey, or as the library
// spreads a matte (v, v, v, v) when the values are kept.
template <class P, class T>
P* greyToColour(const T* grey, const Math::Size2di& size, bool keepValues, int16_t full) {
    auto* p = new P(size, typename P::DoNotMemset());
    if (!p->data()) return p;
    using Pixel = std::remove_pointer_t<decltype(p->data())>;
    using C = decltype(Pixel::r);
    for (long long i = 0, n = (long long)size.w() * size.h(); i < n; ++i) {
        const C v = C(grey[i]);
        p->data()[i] = Pixel{v, v, v, keepValues ? v : C(full)};
    }
    return p;
}

// ------------------------------------------------------------------ origin

const UT_DynKey& originKey() {
    static const UT_DynKey key;
    return key;
}

class OriginMessage final : public CEL_DynMessage {
public:
    explicit OriginMessage(const CelOrigin& o) : origin(o) {}
    const CelOrigin origin;
};

// ------------------------------------------------------------------ input

// Standard input, read once, kept in a temporary file (named with the
// format's extension) that lives until the process ends.
struct StandardInput {
    bool read = false;
    QByteArray bytes;
    std::vector<std::unique_ptr<QTemporaryFile>> files;
};

StandardInput& standardInput() {
    static StandardInput in;
    return in;
}

// A temporary copy of bytes; empty on failure (with the cause).
QString temporaryCopy(const QByteArray& bytes, const QString& extension, QString* cause) {
    QString pattern = QDir::tempPath() + QStringLiteral("/celtool-input-XXXXXX");
    if (!extension.isEmpty()) pattern += QLatin1Char('.') + extension.toLower();
    auto file = std::make_unique<QTemporaryFile>(pattern);
    if (!file->open() || file->write(bytes) != bytes.size() || !file->flush()) {
        *cause = QStringLiteral("cannot keep a copy: %1").arg(file->errorString());
        return QString();
    }
    const QString name = file->fileName();
    standardInput().files.push_back(std::move(file));
    return name;
}

// The file to read and the handler that reads it.
struct Source {
    QString file;  // what the handler reads: the path, or a temporary copy
    QString shown; // how messages name the input
    const CELIO_Handler* handler = nullptr;
    bool throughManager = false; // the manager picks this handler by the path's own extension
    bool contradicted = false;   // the content is not what the extension says
    QString note;                // said once the read succeeds
    QString error;               // why it cannot be read at all
    CELIO_State errorState = CELIO_STATE_FAILED;
};

// The name a copy of standard input (or a pipe) is read under: the format
// given, else the container the content shows, where the handler reads it
// (movie handlers pick their reader by extension); else the handler's own.
QString copyExtension(const CELIO_Handler& handler, const QString& format, const QByteArray& head) {
    const QStringList extensions = handler.getExtensions();
    for (const QString& wanted : {format, CELIO_FormatTable::detectExtension(head)})
        for (const QString& e : extensions)
            if (!wanted.isEmpty() && e.compare(wanted, Qt::CaseInsensitive) == 0) return e;
    return extensions.value(0);
}

Source openSource(const QString& path, const QString& format) {
    Source s;
    s.shown = path == QLatin1String("-") ? QStringLiteral("standard input") : path;
    QByteArray bytes; // the whole input when it does not stay in a file of its own
    bool copy = false;
    if (path == QLatin1String("-")) {
        StandardInput& in = standardInput();
        if (!in.read) {
            QFile f;
            if (f.open(stdin, QIODevice::ReadOnly)) in.bytes = f.readAll();
            in.read = true;
        }
        bytes = in.bytes;
        copy = true;
    } else {
        const QByteArray native = QFile::encodeName(path);
        struct stat st {};
        if (::stat(native.constData(), &st) != 0) {
            s.error = errno == ENOENT ? QStringLiteral("no such file") : systemError(errno);
            return s;
        }
        if (S_ISDIR(st.st_mode)) {
            s.error = QStringLiteral("is a directory");
            return s;
        }
        const int fd = ::open(native.constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            s.error = systemError(errno);
            return s;
        }
        QFile f;
        f.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle);
        if (S_ISREG(st.st_mode)) {
            bytes = f.read(CELIO_FormatTable::kSignatureBytes);
            s.file = path;
        } else { // a pipe or a device: read once, like standard input
            bytes = f.readAll();
            copy = true;
        }
    }
    if (bytes.isEmpty()) {
        s.error = QStringLiteral("empty file");
        return s;
    }

    const CELIO_Manager* io = manager();
    const QString named = !format.isEmpty()                    ? format
                          : path == QLatin1String("-") || copy ? QString()
                                                               : extensionOf(path);
    const CELIO_Handler* byName = named.isEmpty() ? nullptr : io->findHandler(named);
    const QByteArray head = bytes.left(CELIO_FormatTable::kSignatureBytes);
    const QString seen = CELIO_FormatTable::detect(head);
    const CELIO_Handler* byContent = seen.isEmpty() ? nullptr : io->findHandler(seen);
    if (!format.isEmpty() && !byName) {
        s.error = QStringLiteral("no format is named %1").arg(format);
        s.errorState = CELIO_STATE_UNSUPPORTED;
        return s;
    }
    if (byName) {
        const QString name = CELIO_FormatTable::name(*byName);
        s.contradicted =
            CELIO_FormatTable::hasSignature(*byName) && !CELIO_FormatTable::matches(*byName, head);
        s.handler = byName;
        if (s.contradicted && byContent && byContent != byName) {
            s.handler = byContent;
            s.note = QStringLiteral("%1: not a %2 file, read as %3")
                         .arg(s.shown, name, CELIO_FormatTable::name(*byContent));
        } else if (s.contradicted && !seen.isEmpty() && !byContent) {
            s.error = QStringLiteral("not a %1 file (looks like %2)").arg(name, seen);
            return s;
        }
    } else if (byContent) {
        s.handler = byContent;
        if (!named.isEmpty() || path != QLatin1String("-"))
            s.note = QStringLiteral("%1: read as %2").arg(s.shown, CELIO_FormatTable::name(*byContent));
    } else {
        s.error = seen.isEmpty() ? QStringLiteral("unknown format")
                                 : QStringLiteral("unknown format (looks like %1)").arg(seen);
        s.errorState = CELIO_STATE_UNSUPPORTED;
        return s;
    }
    if (copy) {
        s.file = temporaryCopy(bytes, copyExtension(*s.handler, format, head), &s.error);
        if (s.file.isEmpty()) return s;
    }
    s.throughManager = !copy && format.isEmpty() && s.handler == byName;
    return s;
}

// Why the source's handler gave nothing.
QString readFailure(const Source& s, const Diagnostics& diag) {
    const QString said = diag.cause(s.file, s.shown);
    if (!said.isEmpty()) return said;
    const QString name = CELIO_FormatTable::name(*s.handler);
    return s.contradicted ? QStringLiteral("not a %1 file").arg(name)
                          : QStringLiteral("not readable as a %1 file").arg(name);
}

// ------------------------------------------------------------------ output

// Creates the missing folders of `dir`; false with errno set.
bool makeFolders(const QString& dir) {
    const QString clean = QDir::cleanPath(QFileInfo(dir).absoluteFilePath());
    const QStringList parts = clean.split(QLatin1Char('/'));
    QString at;
    for (const QString& part : parts) {
        at += part.isEmpty() && at.isEmpty() ? QStringLiteral("/") : part + QLatin1Char('/');
        if (part.isEmpty()) continue;
        const QByteArray native = QFile::encodeName(at);
        struct stat st {};
        if (::stat(native.constData(), &st) == 0) {
            if (!S_ISDIR(st.st_mode)) {
                errno = ENOTDIR;
                return false;
            }
            continue;
        }
        if (::mkdir(native.constData(), 0777) != 0 && errno != EEXIST) return false;
    }
    return true;
}

// A fresh empty file named `pattern` + a counter + ".tmp", created
// exclusively and listed for removal on a signal (*slot: its place in the
// list); empty with errno set on failure.
QString createTemporary(const QString& pattern, mode_t mode, int* slot) {
    static std::atomic<int> counter{0};
    for (int tries = 0; tries < 100; ++tries) {
        const QString name = pattern + QStringLiteral("%1-%2.tmp").arg(::getpid()).arg(++counter);
        const QByteArray native = QFile::encodeName(name);
        *slot = listTemporary(native); // before it exists: a signal never misses it
        const int fd = ::open(native.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            if (mode) ::fchmod(fd, mode);
            ::close(fd);
            return name;
        }
        const int cause = errno;
        unlistTemporary(*slot);
        *slot = -1;
        errno = cause;
        if (errno != EEXIST) return QString();
    }
    return QString();
}

bool writeAll(int fd, const char* data, qint64 n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, data, size_t(n));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        data += w;
        n -= w;
    }
    return true;
}

// Copies a file's bytes to an open descriptor; false with errno set.
bool copyTo(const QString& file, int fd) {
    QFile in(file);
    if (!in.open(QIODevice::ReadOnly)) return false;
    QByteArray chunk;
    while (!(chunk = in.read(1 << 20)).isEmpty())
        if (!writeAll(fd, chunk.constData(), chunk.size())) return false;
    return true;
}

// Writes `path` through produce(file): beside a regular target and renamed
// over it, or into a temporary file whose bytes then go to a device, a pipe or
// standard output. `what` names the writer in messages. False after one line.
bool writeOutput(const QString& path, const std::function<bool(const QString&)>& produce,
                 const QString& what) {
    const bool toStdout = path == QLatin1String("-");
    const QString shown = toStdout ? QStringLiteral("standard output") : path;
    const auto fail = [&shown](const QString& cause) {
        error(QStringLiteral("%1: %2").arg(shown, cause));
        return false;
    };
    QString target = path;
    bool stream = toStdout;
    mode_t mode = 0;
    if (!toStdout) {
        struct stat st {};
        if (::stat(QFile::encodeName(path).constData(), &st) == 0) {
            if (S_ISDIR(st.st_mode)) return fail(QStringLiteral("is a directory"));
            stream = !S_ISREG(st.st_mode);
            mode = st.st_mode & 07777;
            // A link to a file: the file is replaced, the link stays.
            if (!stream) target = QFileInfo(path).canonicalFilePath();
        } else if (QFileInfo(path).isSymLink()) {
            target = QFileInfo(path).symLinkTarget();
        }
    }

    Diagnostics diag;
    QString file;
    int slot = -1;
    if (stream) {
        file = createTemporary(QDir::tempPath() + QStringLiteral("/celtool-output-"), 0, &slot);
    } else {
        const QFileInfo info(target);
        if (!makeFolders(info.absolutePath())) return fail(systemError(errno));
        file = createTemporary(info.absolutePath() + QStringLiteral("/.") + info.fileName() +
                                   QStringLiteral(".celtool-"),
                               mode, &slot);
    }
    if (file.isEmpty()) return fail(systemError(errno));
    const QByteArray native = QFile::encodeName(file);
    const auto discard = [&native, slot](bool ok) {
        ::unlink(native.constData());
        unlistTemporary(slot);
        return ok;
    };

    bool ok = false;
    try {
        ok = produce(file);
    } catch (...) { // a failed byte transfer inside a writer
        ok = false;
    }
    ok = ok && !diag.writeFailed(); // some writers report a failed close and still return true
    if (!ok) {
        const QString said = diag.cause(file, shown);
        return discard(fail(said.isEmpty() ? QStringLiteral("the %1 writer failed").arg(what) : said));
    }
    if (QFileInfo(file).size() == 0)
        return discard(fail(QStringLiteral("the %1 writer wrote nothing").arg(what)));

    if (!stream) {
        if (::rename(native.constData(), QFile::encodeName(target).constData()) != 0)
            return discard(fail(systemError(errno)));
        unlistTemporary(slot);
        return true;
    }
    int fd = 1;
    if (!toStdout) {
        fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CLOEXEC);
        if (fd < 0) return discard(fail(systemError(errno)));
    } else {
        std::fflush(stdout);
    }
    ok = copyTo(file, fd);
    const int copyError = errno;
    if (!toStdout && ::close(fd) != 0 && ok) return discard(fail(systemError(errno)));
    return discard(ok || fail(systemError(copyError)));
}

// The output's format: given, else the name's extension, else the code's family.
QString namedFormat(const QString& path, const WriteOptions& options) {
    if (!options.format.isEmpty()) return options.format;
    if (path != QLatin1String("-")) {
        const QString ext = extensionOf(path);
        if (!ext.isEmpty()) return ext;
    }
    if (options.code.isEmpty()) return QString();
    const QString family = manager()->getExtension(options.code);
    if (!family.isEmpty()) return family;
    for (const CELIO_Handler* h : manager()->handlers())
        if (unlistedWriteCodes(*h).contains(options.code, Qt::CaseInsensitive))
            return h->getExtensions().value(0).toLower();
    return QString();
}

const CELIO_Handler* writerFor(const QString& format) {
    const CELIO_Handler* h = format.isEmpty() ? nullptr : manager()->findHandler(format);
    return h && !h->getWriteExtensions().isEmpty() ? h : nullptr;
}

// The 16-bit route's result for every colour and alpha byte: (c, c, c, a) at
// x = c, y = a of an 8-bit picture converted to 16 bits, its colour then
// multiplied by alpha (or divided). A colour's result depends on that byte and
// the alpha byte only, so a table made by the route itself converts whole
// pictures in one pass. Null when memory runs out.
std::unique_ptr<CEL_PixmapRGBA16> routeTable(bool multiply) {
    CEL_PixmapRGBA8 every(256, 256);
    if (!every.data()) return nullptr;
    for (int a = 0; a < 256; ++a)
        for (int c = 0; c < 256; ++c)
            every.data()[a * 256 + c] = CEL_PixelRGBA8{uint8_t(c), uint8_t(c), uint8_t(c), uint8_t(a)};
    auto deep = std::make_unique<CEL_PixmapRGBA16>(every);
    if (!deep->data()) return nullptr;
    if (multiply)
        deep->multiplyColorByAlpha();
    else
        deep->demultiplyColorByAlpha();
    return deep;
}

// Each pixel of `in` through the tables (colour by (c, a) at a * 256 + c,
// alpha by a), on the library's row passes (oneTBB, or plain threads under
// the thread sanitizer). Null when memory runs out.
template <class Out, class Pixel, class Value>
Out* tabulated(const CEL_PixmapRGBA8& in, const std::vector<Value>& colour, const std::vector<Value>& alpha) {
    auto* out = new Out(in.size(), typename Out::DoNotMemset());
    if (!out->data()) {
        delete out;
        return nullptr;
    }
    const long long width = in.width();
    CelAlgo::detail::parallelRows(0, in.height(), 64, width, [&](int y1, int y2) {
        for (int y = y1; y < y2; ++y) {
            const CEL_PixelRGBA8* s = in.data() + y * width;
            auto* d = out->data() + y * width;
            for (long long x = 0; x < width; ++x) {
                const Value* t = colour.data() + size_t(s[x].a) * 256;
                d[x] = Pixel{t[s[x].r], t[s[x].g], t[s[x].b], alpha[s[x].a]};
            }
        }
    });
    return out;
}

// An 8-bit picture with its colour multiplied by alpha (or divided), through
// 16-bit values and back to 8 bits as for any picture, in one pass. Spares the
// 16-bit copy (eight bytes a pixel, written and read twice) on the tool's
// commonest path, straight 8-bit files to premultiplied writers.
CEL_PixmapRGBA8* convertedBytes(const CEL_PixmapRGBA8& in, bool multiply) {
    const std::unique_ptr<CEL_PixmapRGBA16> deep = routeTable(multiply);
    if (!deep) return nullptr; // the caller goes the long way
    std::vector<uint8_t> colour(65536), alpha(256);
    for (int i = 0; i < 65536; ++i) colour[size_t(i)] = rounded8(deep->data()[i].r);
    for (int a = 0; a < 256; ++a) alpha[size_t(a)] = rounded8(deep->data()[a * 256].a);
    return tabulated<CEL_PixmapRGBA8, CEL_PixelRGBA8>(in, colour, alpha);
}

// A straight 8-bit picture multiplied by alpha for the PNG writer, kept in 16
// bits: each colour is the 16-bit value nearest the route's product that the
// writer's division (QXCelUioPngHandler::straight8) brings back to the byte
// it came from, so the file holds the picture's own bytes wherever 15-bit
// values can tell them apart (through 8 bits, one translucent pixel in twenty
// came back a level off).
CEL_PixmapRGBA16* multipliedForPng(const CEL_PixmapRGBA8& in) {
    const std::unique_ptr<CEL_PixmapRGBA16> deep = routeTable(true);
    if (!deep) return nullptr;
    std::vector<int16_t> colour(65536), alpha(256);
    for (int a = 0; a < 256; ++a) alpha[size_t(a)] = deep->data()[a * 256].a;
    for (int a = 0; a < 256; ++a)
        for (int c = 0; c < 256; ++c) {
            const int m = alpha[size_t(a)], v = deep->data()[a * 256 + c].r;
            int best = v;
            for (int step = 1; step <= 64 && QXCelUioPngHandler::straight8(best, m) != c; ++step)
                for (const int t : {v + step, v - step})
                    if (t >= 0 && t <= m && QXCelUioPngHandler::straight8(t, m) == c) {
                        best = t;
                        break;
                    }
            colour[size_t(a * 256 + c)] = int16_t(best);
        }
    return tabulated<CEL_PixmapRGBA16, CEL_PixelRGBA16>(in, colour, alpha);
}

// A cel whose pixels are converted to what the writer of `code` expects (see
// the header); null when the cel goes to the writer as it is.
UT_SharedPtr<CEL_Cel> prepared(const Rep& canvas, const PixelFacts& facts, const CelOrigin& origin,
                               const CELIO_Handler& handler, const QString& code, const CELIO_Shape& shape,
                               bool keepValues) {
    const UT_SharedPtr<CEL_Cel> same;
    if (const auto* m = dynamic_cast<const CEL_PixmapMatte16*>(canvas.get()); m && m->data()) {
        // The library makes nothing of a 16-bit matte; the tool does.
        const Math::Size2di size = m->size();
        if (shape.channels == 1) {
            auto* p = new CEL_PixmapMatte8(size);
            if (p->data())
                for (long long i = 0, n = (long long)size.w() * size.h(); i < n; ++i)
                    p->data()[i] = keepValues ? CEL_PixelRule::to8(m->data()[i]) : rounded8(m->data()[i]);
            return celHolding(p);
        }
        return celHolding(greyToColour<CEL_PixmapRGBA16>(m->data(), size, keepValues, 32767));
    }
    if (keepValues) return same;
    if (const auto* m = dynamic_cast<const CEL_PixmapMatte8*>(canvas.get())) {
        if (shape.channels == 1 || !m->data()) return same;
        return celHolding(greyToColour<CEL_PixmapRGBA8>(m->data(), m->size(), false, 255));
    }

    const CELIO_Alpha expected = CELIO_FormatTable::writeAlpha(handler, code);
    const bool convert = facts.transparent && origin.alpha != expected;
    const bool round = !shape.deep && (facts.deep || convert);
    if (!convert && !round) return same;
    // The PNG writer divides by alpha from a 16-bit cel when it has one.
    if (const auto* p8 = dynamic_cast<const CEL_PixmapRGBA8*>(canvas.get());
        p8 && convert && !facts.deep && expected == CELIO_Alpha::Premultiplied &&
        dynamic_cast<const QXCelUioPngHandler*>(&handler))
        if (CEL_PixmapRGBA16* deep = multipliedForPng(*p8)) return celHolding(deep);
    if (const auto* p8 = dynamic_cast<const CEL_PixmapRGBA8*>(canvas.get()); p8 && round && !facts.deep)
        if (CEL_PixmapRGBA8* bytes = convertedBytes(*p8, expected == CELIO_Alpha::Premultiplied))
            return celHolding(bytes);
    std::unique_ptr<CEL_PixmapRGBA16> work;
    if (const auto* p8 = dynamic_cast<const CEL_PixmapRGBA8*>(canvas.get()))
        work.reset(new CEL_PixmapRGBA16(*p8));
    else if (const auto* p16 = dynamic_cast<const CEL_PixmapRGBA16*>(canvas.get()))
        work.reset(p16->clone());
    if (!work || !work->data()) return same;
    if (convert) {
        if (expected == CELIO_Alpha::Premultiplied)
            work->multiplyColorByAlpha();
        else
            work->demultiplyColorByAlpha();
    }
    if (!round) return celHolding(work.release());
    auto* out = new CEL_PixmapRGBA8(work->size(), CEL_PixmapRGBA8::DoNotMemset());
    if (out->data())
        for (long long i = 0, n = (long long)work->width() * work->height(); i < n; ++i) {
            const CEL_PixelRGBA16& v = work->data()[i];
            out->data()[i] = CEL_PixelRGBA8{rounded8(v.r), rounded8(v.g), rounded8(v.b), rounded8(v.a)};
        }
    return celHolding(out);
}

// How messages name an output.
QString shownOutput(const QString& path) {
    return path == QLatin1String("-") ? QStringLiteral("standard output") : path;
}

// The code of an output: the one asked for, else the one that keeps the
// picture's shape (a writer's unlisted codes, SCAN24 and SCAN32, where they
// keep the picture's channels and the listed ones do not), else the family's.
QString outputCode(const CELIO_Handler& handler, const WriteOptions& options, const CELIO_Shape& want) {
    QString code = options.code;
    if (code.isEmpty()) code = CELIO_FormatTable::codeFor(handler, want);
    if (code.isEmpty()) code = handler.getExtensions().value(0);
    for (const QString& c : options.code.isEmpty() ? unlistedWriteCodes(handler) : QStringList())
        if (CELIO_FormatTable::codeShape(handler, c).channels == want.channels &&
            CELIO_FormatTable::codeShape(handler, code).channels != want.channels)
            code = c;
    return code;
}

// Video frames take pictures up to their square-pixel size, and their
// writers refuse larger ones without a word: the tool names the limit.
QString frameLimitError(const CELIO_Handler& handler, const CEL_Representation* canvas) {
    int maxW = 0, maxH = 0;
    if (dynamic_cast<const QXCelUioPalHandler*>(&handler))
        maxW = QXCelUioPalHandler::PAL_DI_COLS, maxH = QXCelUioPalHandler::PAL_ROWS;
    else if (dynamic_cast<const QXCelUioYuvHandler*>(&handler))
        maxW = QXCelUioYuvHandler::NTSC_COLS, maxH = QXCelUioYuvHandler::NTSC_DI_ROWS;
    const auto* p = dynamic_cast<const CEL_Pixmap*>(canvas);
    if (!maxW || !p || (p->width() <= maxW && p->height() <= maxH)) return QString();
    return QStringLiteral("image of %1 x %2 pixels too large for a %3 frame (at most %4 x %5)")
        .arg(p->width())
        .arg(p->height())
        .arg(CELIO_FormatTable::name(handler))
        .arg(maxW)
        .arg(maxH);
}

// One warning for what the chosen code could not keep, when the picture had it.
void warnDropped(const QString& path, const CelOrigin& origin, const CELIO_Shape& shape,
                 const PixelFacts& facts, const CELIO_Handler& handler) {
    const QString name = CELIO_FormatTable::name(handler);
    QStringList dropped, why;
    if (origin.shape.channels == 4 && shape.channels != 4 && facts.transparent)
        dropped << QStringLiteral("alpha"), why << noAlphaReason(handler);
    if (origin.shape.deep && !shape.deep && facts.deep)
        dropped << QStringLiteral("16-bit depth"),
            why << QStringLiteral("%1 writes 8-bit channels").arg(name);
    if (!dropped.isEmpty())
        warning(QStringLiteral("%1: %2 dropped: %3")
                    .arg(shownOutput(path), dropped.join(QStringLiteral(" and ")),
                         why.join(QStringLiteral(", "))));
}

} // namespace

QString extensionOf(const QString& path) {
    const QString name = QFileInfo(path).fileName();
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    return dot < 0 ? QString() : name.mid(dot + 1);
}

void quietLibraryOutput() {
    static std::once_flag once;
    std::call_once(once, [] {
        qInstallMessageHandler(keepQtMessage);
        QxCelUioTiffHandler::setDiagnosticStream(&tiffStream());
        QxCelUioIffHandler::setDiagnosticStream(&iffStream());
        QXMessage::instance().setSink(librarySink);
    });
}

void collectThreadMessages() {
    // Lives as long as the thread; later collectors nest inside it.
    thread_local Collector base;
    if (!t_collector) t_collector = &base;
    base.records.clear();
}

namespace {

// A writer of the library that writes through its byte target puts its own
// partial file beside ours (".NAME.TAG.part"); those go too.
void removePartialsBeside(const char* path) {
    const char* slash = std::strrchr(path, '/');
    const std::string folder = slash ? std::string(path, size_t(slash - path) + 1) : std::string("./");
    const std::string prefix = '.' + std::string(slash ? slash + 1 : path) + '.';
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return;
    while (const dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name.size() > prefix.size() + 5 && name.compare(0, prefix.size(), prefix) == 0 &&
            name.compare(name.size() - 5, 5, ".part") == 0)
            ::unlinkat(::dirfd(dir), name.c_str(), 0);
    }
    ::closedir(dir);
}

} // namespace

void removeTemporaries() {
    for (TemporarySlot& slot : g_temporaries) {
        if (slot.state.load(std::memory_order_acquire) != 2) continue;
        ::unlink(slot.path);
        removePartialsBeside(slot.path);
    }
}

void watchSignals(std::function<void()> onFirstSignal) {
    static std::once_flag once;
    std::call_once(once, [&onFirstSignal] {
        sigset_t set;
        sigemptyset(&set);
        for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, sig);
        // Threads started from now on inherit the mask: only the watcher takes these.
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
        std::thread([set, onFirst = std::move(onFirstSignal)] {
            bool first = true;
            for (;;) {
                int sig = 0;
                if (sigwait(&set, &sig) != 0) continue;
                if (first && onFirst) {
                    first = false;
                    onFirst();
                    continue;
                }
                removeTemporaries();
                // Die of the signal, as a shell or a scheduler expects.
                std::signal(sig, SIG_DFL);
                sigset_t one;
                sigemptyset(&one);
                sigaddset(&one, sig);
                pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
                ::raise(sig);
                ::_exit(128 + sig);
            }
        }).detach();
    });
}

QCommandLineOption keepValuesOption() {
    return QCommandLineOption(QStringLiteral("keep-values"),
                              QStringLiteral("Write the library's values unchanged: no conversion between "
                                             "straight and premultiplied colour, no rounding to 8 bits."));
}

QStringList unlistedWriteCodes(const CELIO_Handler& handler) {
    if (dynamic_cast<const QXCelUioScanHandler*>(&handler))
        return {QStringLiteral("SCAN24"), QStringLiteral("SCAN32")};
    return {};
}

QString noAlphaReason(const CELIO_Handler& handler) {
    // Families whose files say it better than "has no alpha".
    static const struct {
        const char* family;
        const char* reason;
    } kReasons[] = {{"OMF", "OMF media is RGB"}};
    const QString family = handler.getExtensions().value(0).toUpper();
    for (const auto& r : kReasons)
        if (family == QLatin1String(r.family)) return QLatin1String(r.reason);
    return QStringLiteral("%1 has no alpha").arg(CELIO_FormatTable::name(handler));
}

bool carriesInfoString(const CELIO_Handler& handler) {
    return dynamic_cast<const QXCelUioScanHandler*>(&handler) ||
           dynamic_cast<const QXCelUioVarHandler*>(&handler);
}

bool outputCarriesInfoString(const QString& path, const WriteOptions& options) {
    const QString format = namedFormat(path, options);
    const CELIO_Handler* h = format.isEmpty() ? nullptr : writerFor(format);
    return !h || carriesInfoString(*h);
}

bool mayWriteStraightPng(const QString& path, const WriteOptions& options) {
    const QString format = namedFormat(path, options);
    const CELIO_Handler* h = format.isEmpty() ? nullptr : writerFor(format);
    return dynamic_cast<const QXCelUioPngHandler*>(h) && !options.keepValues &&
           (options.code.isEmpty() || options.code.compare(QLatin1String("PNG4"), Qt::CaseInsensitive) == 0);
}

CEL_Context readContext(const QString& layer) {
    const CEL_Context defaults;
    return CEL_Context(defaults.isColorRecovery(), defaults.isDelayedColorRecovery(),
                       defaults.useElementPaletteList(), nullptr, 0, layer, 1.0);
}

UT_SharedPtr<CEL_Cel> readCel(const QString& path, const QString& format, const QString& layer,
                              QString* infoString, const CELIO_RepresentationList* loaded, int frame) {
    Diagnostics diag;
    const Source src = openSource(path, format);
    if (!src.error.isEmpty()) {
        error(QStringLiteral("%1: %2").arg(src.shown, src.error));
        return {};
    }
    const CEL_Context context = readContext(layer);
    CELIO_RepresentationList list;
    bool ok = false;
    if (dynamic_cast<const CELMOV_MovieHandler*>(src.handler)) {
        QString why;
        if (UT_SharedPtr<CEL_Representation> pixels = decodeMovieFrame(src.file, frame, why))
            list.push_back(pixels), ok = true;
        else {
            if (why.isEmpty()) why = readFailure(src, diag);
            error(QStringLiteral("%1: %2").arg(src.shown, why));
            return {};
        }
    } else if (frame != 1) {
        error(QStringLiteral("%1: frame %2 out of range 1\u20131").arg(src.shown).arg(frame));
        return {};
    } else if (loaded && !loaded->empty() && src.throughManager) {
        list = *loaded; // what the manager gave the loader is what it would give here
        ok = true;
    } else {
        try {
            QDateTime modified;
            ok = src.throughManager ? manager()->read(src.file, modified, context, list)
                                    : src.handler->read(src.file, context, list);
        } catch (...) {
            ok = false;
        }
    }
    if (!ok || list.empty()) {
        error(QStringLiteral("%1: %2").arg(src.shown, readFailure(src, diag)));
        return {};
    }
    if (!src.note.isEmpty()) warning(src.note);
    if (infoString) {
        // The handlers keep the string per thread, whichever way the file was read.
        if (const auto* scan = dynamic_cast<const QXCelUioScanHandler*>(src.handler))
            *infoString = scan->infoString();
        else if (const auto* var = dynamic_cast<const QXCelUioVarHandler*>(src.handler))
            *infoString = var->infoString();
        else
            *infoString = QString();
    }
    UT_SharedPtr<CEL_Cel> cel(new CEL_Cel(list.front()->getFormat()));
    for (const auto& rep : list) cel->addRepresentation(rep);

    CELIO_Info info;
    try {
        if (src.handler->readInfo(src.file, context, info) != CELIO_STATE_OK) info.channels = 0;
    } catch (...) {
        info.channels = 0;
    }
    const Rep& image = list.front();
    const PixelFacts facts = factsOf(image.get());
    CelOrigin origin;
    origin.shape = shapeOf(image.get(), facts, int(info.channels), isDeep(image.get()));
    origin.alpha = CELIO_FormatTable::readAlpha(*src.handler, src.file);
    origin.format = src.handler->getExtensions().value(0);
    adoptVectorInput(cel.get(), path, origin);
    setOrigin(cel.get(), origin);
    if (info.channels == 4 && !CELIO_FormatTable::readsAlpha(*src.handler))
        warning(QStringLiteral("%1: alpha not read: the %2 reader takes colour only")
                    .arg(src.shown, CELIO_FormatTable::name(*src.handler)));
    return cel;
}

HeaderInfo readHeader(const QString& path, const QString& format) {
    Diagnostics diag;
    HeaderInfo h;
    const Source src = openSource(path, format);
    if (!src.error.isEmpty()) {
        h.state = src.errorState;
        h.error = src.error;
        return h;
    }
    h.format = src.handler->getExtensions().value(0);
    h.note = src.note;
    const CEL_Context context;
    try {
        QDateTime modified;
        h.state = src.throughManager ? manager()->loadInfo(src.file, modified, context, h.info)
                                     : src.handler->readInfo(src.file, context, h.info);
    } catch (...) { // a header cut short
        h.state = CELIO_STATE_FAILED;
    }
    // The PNG header query reports one byte per channel whatever the file
    // holds; its header's bit depth tells a 16-bit file (byte 24: signature,
    // the IHDR chunk's length and type, width, height).
    if (h.state == CELIO_STATE_OK && dynamic_cast<const QXCelUioPngHandler*>(src.handler)) {
        QFile file(src.file);
        const QByteArray head = file.open(QIODevice::ReadOnly) ? file.read(25) : QByteArray();
        if (head.size() == 25 && head.mid(12, 4) == "IHDR" && uint8_t(head[24]) == 16)
            h.info.bytesPerChannel = 2;
    }
    if (h.state != CELIO_STATE_OK) {
        h.error = h.state == CELIO_STATE_UNSUPPORTED
                      ? QStringLiteral("the %1 reader gives no header information")
                            .arg(CELIO_FormatTable::name(*src.handler))
                      : readFailure(src, diag);
        h.info = CELIO_Info();
    }
    return h;
}

CelOrigin originOf(CEL_Cel* cel) {
    if (!cel) return {};
    if (const auto* m = dynamic_cast<const OriginMessage*>(cel->findMessage(originKey()).get()))
        return m->origin;
    CelOrigin origin;
    const Rep canvas = canvasOf(cel);
    const PixelFacts facts = factsOf(canvas.get());
    origin.shape = shapeOf(canvas.get(), facts, 0, facts.deep);
    return origin;
}

void setOrigin(CEL_Cel* cel, const CelOrigin& origin) {
    if (cel) cel->addMessage(originKey(), new OriginMessage(origin));
}

CELIO_Shape combinedShape(const CELIO_Shape& a, const CELIO_Shape& b) {
    return {std::max(std::max(a.channels, b.channels), a.channels != b.channels ? 3 : 0), a.deep || b.deep};
}

std::unique_ptr<CEL_PixmapAreaRGBA16> workingArea(CEL_Cel* cel, const QString& path, bool keepValues) {
    // A grey picture is opaque grey; its values kept, a matte (v, v, v, v) as
    // the library spreads one. A 16-bit matte converts to nothing in the library.
    const Rep canvas = cel ? canvasOf(cel) : Rep();
    const auto* m8 = dynamic_cast<const CEL_PixmapMatte8*>(canvas.get());
    const auto* m16 = dynamic_cast<const CEL_PixmapMatte16*>(canvas.get());
    if ((m8 && m8->data() && !keepValues) || (m16 && m16->data())) {
        const CEL_Pixmap* m = m8 ? static_cast<const CEL_Pixmap*>(m8) : m16;
        auto area = std::make_unique<CEL_PixmapAreaRGBA16>(m->width(), m->height());
        if (!area->realloc(Math::Box2di(0, 0, m->width(), m->height()), false)) return nullptr;
        for (long long i = 0, n = (long long)m->width() * m->height(); i < n; ++i) {
            const int16_t v = m8 ? CEL_PixelRule::from8(m8->data()[i]) : m16->data()[i];
            area->data()[i] = CEL_PixelRGBA16{v, v, v, keepValues ? v : int16_t(32767)};
        }
        return area;
    }
    const Rep rep = cel ? cel->convertTo(CEL_Representation::PIXMAP_AREA_RGBA16) : Rep();
    const auto* area = dynamic_cast<const CEL_PixmapAreaRGBA16*>(rep.get());
    std::unique_ptr<CEL_PixmapAreaRGBA16> copy(area ? area->clone() : nullptr);
    if (!copy) {
        error(QStringLiteral("%1: no pixels to work on").arg(path));
        return nullptr;
    }
    if (!keepValues && originOf(cel).alpha == CELIO_Alpha::Straight) copy->multiplyColorByAlpha();
    return copy;
}

UT_SharedPtr<CEL_Cel> celOf(std::unique_ptr<CEL_PixmapAreaRGBA16> pixels, const CelOrigin& origin) {
    UT_SharedPtr<CEL_Cel> cel(new CEL_Cel(CEL_Representation::PIXMAP_AREA_RGBA16));
    cel->addRepresentation(Rep(pixels.release()));
    setOrigin(cel.get(), origin);
    return cel;
}

int checkOutput(const QString& path, const WriteOptions& options) {
    const QString format = namedFormat(path, options);
    if (format.isEmpty()) return kSuccess; // told by the input later
    const CELIO_Handler* h = writerFor(format);
    if (!h) {
        error(QStringLiteral("no format writes '%1'").arg(path == QLatin1String("-") ? format : path));
        return kUsage;
    }
    const QStringList codes = h->getWriteOptionCodes() + unlistedWriteCodes(*h);
    if (!options.code.isEmpty() && !codes.isEmpty() && !codes.contains(options.code, Qt::CaseInsensitive)) {
        error(QStringLiteral("format %1 has no code %2 (codes: %3)")
                  .arg(CELIO_FormatTable::name(*h), options.code, codes.join(QStringLiteral(", "))));
        return kUsage;
    }
    return kSuccess;
}

int writeCel(CEL_Cel* cel, const QString& path, const WriteOptions& options) {
    const CelOrigin origin = originOf(cel);
    QString format = namedFormat(path, options);
    if (format.isEmpty()) format = origin.format;
    const CELIO_Handler* handler = writerFor(format);
    if (!cel || !handler) {
        error(format.isEmpty() ? QStringLiteral("%1: no format to write (name one with --format)").arg(path)
                               : QStringLiteral("no format writes '%1'").arg(path));
        return kUsage;
    }
    const QString shown = shownOutput(path);
    if (writesVectors(*handler)) { // drawings are stored, not converted
        const UT_SharedPtr<CEL_Cel> vector = vectorOutput(cel, *handler, shown);
        const QString code = handler->getWriteOptionCodes().value(0);
        return vector && writeOutput(
                             path,
                             [&](const QString& file) {
                                 return manager()->write(vector.get(), file, format, code);
                             },
                             CELIO_FormatTable::name(*handler))
                   ? kSuccess
                   : kFailure;
    }
    if (const QString refusal = rasterRefusal(cel); !refusal.isEmpty()) {
        error(QStringLiteral("%1: %2").arg(shown, refusal));
        return kFailure;
    }
    const Rep canvas = canvasOf(cel);
    if (const QString e = frameLimitError(*handler, canvas.get()); !e.isEmpty()) {
        error(QStringLiteral("%1: %2").arg(shownOutput(path), e));
        return kFailure;
    }
    const PixelFacts facts = factsOf(canvas.get());
    const QString code = outputCode(*handler, options, origin.shape);
    const CELIO_Shape shape = CELIO_FormatTable::codeShape(*handler, code);
    const QString name = CELIO_FormatTable::name(*handler);
    // A straight 8-bit picture (a PNG, TGA, ...) going to an 8-bit PNG with
    // alpha is stored as it is: byte for byte, with no premultiplied copy.
    const auto* png = dynamic_cast<const QXCelUioPngHandler*>(handler);
    if (const auto* p8 = dynamic_cast<const CEL_PixmapRGBA8*>(canvas.get());
        png && p8 && p8->data() && !options.keepValues && facts.transparent &&
        origin.alpha == CELIO_Alpha::Straight &&
        code.compare(QLatin1String("PNG4"), Qt::CaseInsensitive) == 0) {
        if (!writeOutput(
                path, [&](const QString& file) { return png->writeStraight8(*p8, file); }, name))
            return kFailure;
        if (options.code.isEmpty()) warnDropped(path, origin, shape, facts, *handler);
        return kSuccess;
    }
    const UT_SharedPtr<CEL_Cel> converted =
        prepared(canvas, facts, origin, *handler, code, shape, options.keepValues);
    // The depth goes along for the writers that store it (a copy sharing its buffer).
    if (const auto* z = dynamic_cast<const CEL_PixmapAreaZ*>(
            cel->findRepresentation(CEL_Representation::PIXMAP_AREA_ZBUF).get());
        z && converted)
        converted->addRepresentation(Rep(new CEL_PixmapAreaZ(*z)));
    CEL_Cel* out = converted ? converted.get() : cel;
    // The raw pixmap writer stores the 16-bit area pixmap the cel holds and converts nothing.
    if (dynamic_cast<const CELIO_UioRawPixMapHandler*>(handler))
        out->convertTo(CEL_Representation::PIXMAP_AREA_RGBA16);
    // The depth writer stores nothing but depth: a picture without it gets one
    // clear line here instead of the writer's own report.
    if (dynamic_cast<const CELIO_UioRawFloatHandler*>(handler) &&
        !out->convertTo(CEL_Representation::PIXMAP_AREA_ZBUF)) {
        error(QStringLiteral("%1: RAW files hold depth, and the picture has none").arg(shownOutput(path)));
        return kFailure;
    }

    // The manager gives SCAN its information string; VAR's is set on the handler.
    if (const auto* var = dynamic_cast<const QXCelUioVarHandler*>(handler))
        var->setInfoString(options.infoString);
    const bool ok = writeOutput(
        path,
        [&](const QString& file) { return manager()->write(out, file, format, code, options.infoString); },
        name);
    if (!ok) return kFailure;

    if (options.code.isEmpty()) warnDropped(path, origin, shape, facts, *handler);
    return kSuccess;
}

int writeCombined(CEL_Cel* first, CEL_Cel* second, const QString& path, const WriteOptions& options,
                  bool secondFieldFirst) {
    const CelOrigin originA = originOf(first), originB = originOf(second);
    CelOrigin origin = originA;
    origin.shape = combinedShape(originA.shape, originB.shape);
    QString format = namedFormat(path, options);
    if (format.isEmpty()) format = origin.format;
    const CELIO_Handler* handler = writerFor(format);
    if (!first || !second || !handler) {
        error(format.isEmpty() ? QStringLiteral("%1: no format to write (name one with --format)").arg(path)
                               : QStringLiteral("no format writes '%1'").arg(path));
        return kUsage;
    }
    const Rep canvasA = canvasOf(first), canvasB = canvasOf(second);
    const auto* a = dynamic_cast<const CEL_Pixmap*>(canvasA.get());
    const auto* b = dynamic_cast<const CEL_Pixmap*>(canvasB.get());
    if (a && b && a->size() != b->size()) {
        error(QStringLiteral("%1: the fields differ in size (%2x%3 and %4x%5)")
                  .arg(shownOutput(path))
                  .arg(a->width())
                  .arg(a->height())
                  .arg(b->width())
                  .arg(b->height()));
        return kFailure;
    }
    if (const QString e = frameLimitError(*handler, canvasA.get()); !e.isEmpty()) {
        error(QStringLiteral("%1: %2").arg(shownOutput(path), e));
        return kFailure;
    }
    const PixelFacts factsA = factsOf(canvasA.get()), factsB = factsOf(canvasB.get());
    const QString code = outputCode(*handler, options, origin.shape);
    const CELIO_Shape shape = CELIO_FormatTable::codeShape(*handler, code);
    const UT_SharedPtr<CEL_Cel> convertedA =
        prepared(canvasA, factsA, originA, *handler, code, shape, options.keepValues);
    const UT_SharedPtr<CEL_Cel> convertedB =
        prepared(canvasB, factsB, originB, *handler, code, shape, options.keepValues);
    CEL_Cel* outA = convertedA ? convertedA.get() : first;
    CEL_Cel* outB = convertedB ? convertedB.get() : second;
    const QString name = CELIO_FormatTable::name(*handler);
    if (const auto* var = dynamic_cast<const QXCelUioVarHandler*>(handler))
        var->setInfoString(options.infoString);
    const bool ok = writeOutput(
        path,
        [&](const QString& file) {
            return manager()->writeCombined(outA, outB, file, format, code, secondFieldFirst);
        },
        name);
    if (!ok) return kFailure;
    if (options.code.isEmpty()) {
        PixelFacts facts = factsA;
        facts.transparent |= factsB.transparent;
        facts.deep |= factsB.deep;
        warnDropped(path, origin, shape, facts, *handler);
    }
    return kSuccess;
}

int writeCel(CEL_Cel* cel, const QString& path, const QString& format, const QString& code) {
    WriteOptions options;
    options.format = format;
    options.code = code;
    return writeCel(cel, path, options);
}

bool writeBytes(const QString& path, const QByteArray& bytes) {
    // Raw bytes need no writer of their own: standard output, a device or a
    // pipe takes them directly (staging them in a temporary file would only
    // double the traffic, which shows when a large dump goes to /dev/null).
    const bool toStdout = path == QLatin1String("-");
    struct stat st {};
    if (toStdout || (::stat(QFile::encodeName(path).constData(), &st) == 0 && !S_ISREG(st.st_mode) &&
                     !S_ISDIR(st.st_mode))) {
        const QString shown = toStdout ? QStringLiteral("standard output") : path;
        int fd = 1;
        if (toStdout) {
            std::fflush(stdout);
        } else if ((fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CLOEXEC)) < 0) {
            error(QStringLiteral("%1: %2").arg(shown, systemError(errno)));
            return false;
        }
        bool ok = writeAll(fd, bytes.constData(), bytes.size());
        int cause = errno;
        if (!toStdout && ::close(fd) != 0 && ok) {
            ok = false;
            cause = errno;
        }
        if (!ok) error(QStringLiteral("%1: %2").arg(shown, systemError(cause)));
        return ok;
    }
    return writeOutput(
        path,
        [&bytes](const QString& file) {
            QFile f(file);
            return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size() &&
                   f.flush();
        },
        QStringLiteral("raw"));
}

QByteArray rawPixels(const CEL_Representation* rep, int depth) {
    if (const auto* p = dynamic_cast<const CEL_PixmapRGBA8*>(rep); depth == 8 && p && p->data())
        return QByteArray::fromRawData(reinterpret_cast<const char*>(p->data()),
                                       qsizetype(p->width()) * p->height() * 4);
    QByteArray bytes;
    if (const auto* p = dynamic_cast<const CEL_PixmapRGBA16*>(rep); depth == 16 && p && p->data()) {
        const qsizetype n = qsizetype(p->width()) * p->height();
        bytes.resize(n * 8);
        auto* out = reinterpret_cast<uint8_t*>(bytes.data());
        for (qsizetype i = 0; i < n; ++i) {
            const CEL_PixelRGBA16& px = p->data()[i];
            const int16_t v[4] = {px.r, px.g, px.b, px.a};
            for (int c = 0; c < 4; ++c) ByteOrder::putU16LE(out + 8 * i + 2 * c, uint16_t(v[c]));
        }
    }
    return bytes;
}

// ------------------------------------------------------------------ layered output

const CELIO_PsdHandler& layeredWriter() {
    static const CELIO_PsdHandler psd;
    return psd;
}

// "-", a device or a pipe, or a name ending in .psd or .psb.
bool layeredName(const QString& path) {
    const QString ext = extensionOf(path).toLower();
    struct stat st {};
    const bool stream =
        ::stat(QFile::encodeName(path).constData(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode);
    return path == QLatin1String("-") || stream || ext == QLatin1String("psd") || ext == QLatin1String("psb");
}

QString layeredCode(const LayeredWriteOptions& options) {
    return options.code.isEmpty() ? CELIO_FormatTable::codeFor(layeredWriter(), options.shape) : options.code;
}

int checkLayeredOutput(const QString& path, const LayeredWriteOptions& options) {
    if (!layeredName(path)) {
        error(QStringLiteral("%1: layered output is written as PSD: name it *.psd or *.psb").arg(path));
        return kUsage;
    }
    const QStringList codes = layeredWriter().getWriteOptionCodes();
    if (!options.code.isEmpty() && !codes.contains(options.code, Qt::CaseInsensitive)) {
        error(QStringLiteral("format PSD has no code %1 (codes: %2)")
                  .arg(options.code, codes.join(QStringLiteral(", "))));
        return kUsage;
    }
    return kSuccess;
}

UT_SharedPtr<CEL_Representation> layerImage(CEL_Cel* cel, const QString& code, bool keepValues) {
    if (!cel) return {};
    const CELIO_PsdHandler& psd = layeredWriter();
    const CelOrigin origin = originOf(cel);
    const Rep best = cel->findBestPixmapRepresentation();
    if (const auto* area = dynamic_cast<const CEL_PixmapAreaRGBA16*>(best.get())) {
        // Kept as an area pixmap: straight colour, and 8-bit output values
        // as the 16-bit ones round (the writer then takes them exactly).
        if (keepValues) return best;
        const CEL_PixelRGBA16* d = area->data();
        const long long n = area->allocatedArea();
        const bool deep = CELIO_FormatTable::codeShape(psd, code).deep;
        bool transparent = false, wide = false;
        for (long long i = 0; d && i < n; ++i) {
            transparent |= d[i].a != 32767;
            wide |= !eightBit(d[i].r) || !eightBit(d[i].g) || !eightBit(d[i].b) || !eightBit(d[i].a);
        }
        const bool convert = transparent && origin.alpha != CELIO_FormatTable::writeAlpha(psd, code);
        const bool round = !deep && (wide || convert);
        if (!convert && !round) return best;
        std::unique_ptr<CEL_PixmapAreaRGBA16> copy(area->clone());
        if (convert) copy->demultiplyColorByAlpha();
        if (round) {
            CEL_PixelRGBA16* c = copy->data();
            const auto r = [](int16_t v) { return CEL_PixelRule::from8(rounded8(v)); };
            for (long long i = 0; c && i < n; ++i)
                c[i] = CEL_PixelRGBA16{r(c[i].r), r(c[i].g), r(c[i].b), r(c[i].a)};
        }
        return Rep(copy.release());
    }
    const Rep canvas = canvasOf(cel);
    if (!canvas) return {};
    const UT_SharedPtr<CEL_Cel> converted = prepared(canvas, factsOf(canvas.get()), origin, psd, code,
                                                     CELIO_FormatTable::codeShape(psd, code), keepValues);
    if (!converted) return canvas;
    return converted->findBestPixmapRepresentation();
}

int writeLayers(CELIO_LayerInfo& info, const QString& path, const LayeredWriteOptions& options) {
    if (checkLayeredOutput(path, options) != kSuccess) return kUsage;
    CELIO_PsdWriteExtras extras;
    extras.keepLayerProperties = options.keepProperties;
    extras.peerCompatible = options.peerCompatible;
    extras.largeDocument = options.largeDocument || extensionOf(path).toLower() == QLatin1String("psb");
    const QString code = layeredCode(options);
    QStringList warnings;
    const bool ok = writeOutput(
        path,
        [&](const QString& file) {
            // The writer's warnings are kept for their own lines; the rest goes
            // on to the failure report.
            std::vector<MSG_Record> said;
            bool written = false;
            int thrown = 0;
            {
                QXMessage::Capture capture;
                try {
                    written = layeredWriter().writeWithLayers(info, file, code, extras);
                } catch (int e) {
                    thrown = e;
                }
                said = capture.records();
            }
            for (const MSG_Record& r : said) {
                if (r.action == 0)
                    warnings << r.translated.trimmed();
                else
                    QXMessage::instance().post(r);
            }
            if (thrown) throw thrown;
            return written;
        },
        QStringLiteral("PSD"));
    const QString shown = path == QLatin1String("-") ? QStringLiteral("standard output") : path;
    for (const QString& w : warnings) error(QStringLiteral("%1: %2").arg(shown, w));
    return ok ? kSuccess : kFailure;
}

} // namespace celtool
