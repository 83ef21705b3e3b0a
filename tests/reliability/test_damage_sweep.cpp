// Damage sweep over every registered handler and each of its option codes: a
// small picture is written, then read back cut short at every byte of its
// first 128 bytes (or of the handler's fixed header, when longer) and at 20
// points after them, and with 200 seeded single-byte changes. Every read must
// end (a watchdog stops the process if one hangs), fail with a message or give
// an image of the size the file declares, and leak nothing (the sanitizer
// builds run this test too).
#include <QDateTime>
#include <QFile>
#include <condition_variable>
#include <cstdio>
#include <gtest/gtest.h>
#include <mutex>
#include <random>
#include <thread>

#include "FuzzExercise.h"
#include "base/Message.h"
#include "cel/Cel.h"
#include "cel/Context.h"
#include "celio/Manager.h"
#include "celio/MemoryFile.h"
#include "pixel/PixmapCanvas.h"
#include "support/TestSupport.h"

namespace {

// Ends the process when a read takes longer than a minute: a hang (sanitizer
// builds included, where these small reads take milliseconds).
class Watchdog {
public:
    Watchdog() : m_thread([this] { watch(); }) {}
    ~Watchdog() {
        {
            std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_all();
        m_thread.join();
    }
    void arm(const std::string& what) {
        std::lock_guard lock(m_mutex);
        m_what = what;
        m_deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        m_armed = true;
    }
    void disarm() {
        std::lock_guard lock(m_mutex);
        m_armed = false;
    }

private:
    void watch() {
        std::unique_lock lock(m_mutex);
        while (!m_stop) {
            m_wake.wait_for(lock, std::chrono::milliseconds(200));
            if (m_armed && std::chrono::steady_clock::now() > m_deadline) {
                std::fprintf(stderr, "damage sweep: no end to reading %s\n", m_what.c_str());
                std::abort();
            }
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::string m_what;
    std::chrono::steady_clock::time_point m_deadline;
    bool m_armed = false;
    bool m_stop = false;
    std::thread m_thread;
};

// Premultiplied content with runs, noise, soft and transparent areas.
UT_SharedPtr<CEL_Cel> picture(int w, int h) {
    auto* p = new CEL_PixmapRGBA8(w, h);
    unsigned seed = 7;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            seed = seed * 1103515245u + 12345u;
            const int a = x < w / 3 ? 255 : std::min(255, (x * 40 + y * 3) & 255);
            const int n = y > h / 2 ? int(seed >> 24) : 0;
            const auto c = [a](int v) { return uint8_t(std::min(v & 255, a)); };
            *p->pixel(x, y) = CEL_PixelRGBA8{c(x * 9 + n), c(y * 13), c(200 - n / 2), uint8_t(a)};
        }
    UT_SharedPtr<CEL_Cel> cel(new CEL_Cel(p->getFormat()));
    cel->addRepresentation(UT_SharedPtr<CEL_Representation>(p));
    return cel;
}

struct Sweep {
    const CELIO_Handler& handler;
    QString name;
    int width, height;
    Watchdog& watchdog;
    celtest::TempDir& dir;

    // Reads damaged bytes from memory (and from a file when asked): a failure
    // must come with a message; an image must have a size the file declares.
    void read(const QByteArray& bytes, const std::string& what, bool alsoFromFile) {
        SCOPED_TRACE(what);
        const CELIO_Manager* manager = CELIO_Manager::getInstance();
        const CELIO_MemoryFile file(bytes.constData(), size_t(bytes.size()),
                                    QStringLiteral("damaged.") + name);
        QXMessage::Capture messages;
        watchdog.arm(name.toStdString() + " " + what);
        CELIO_Info info;
        const bool hasInfo = manager->loadInfo(file, CEL_Context(), info) == CELIO_STATE_OK;
        CELIO_RepresentationList list;
        const bool ok = manager->read(file, CEL_Context(), list);
        if (alsoFromFile) {
            const QString path = dir.path(QStringLiteral("damaged.") + name);
            celtest::writeFile(path, bytes);
            QDateTime modified;
            CELIO_RepresentationList fromFile;
            manager->read(path, modified, fromFile);
        }
        watchdog.disarm();
        if (!ok) {
            EXPECT_FALSE(messages.records().empty()) << "a failure without a message";
            return;
        }
        ASSERT_FALSE(list.empty());
        const auto* pixmap = dynamic_cast<const CEL_Pixmap*>(list.front().get());
        ASSERT_NE(pixmap, nullptr);
        const int w = pixmap->width(), h = pixmap->height();
        // The size written, or the one the damaged header declares (a top-down
        // BMP declares a negative height).
        const bool declared = hasInfo && int64_t(info.width) == w &&
                              (int64_t(info.height) == h || -int64_t(int32_t(info.height)) == h);
        EXPECT_TRUE((w == width && h == height) || declared) << w << " x " << h;
    }
};

} // namespace

TEST(DamageSweep, EveryHandlerEveryCodeCutAndChanged) {
    celfuzz::setUp();
    celtest::TempDir dir;
    Watchdog watchdog;
    const int width = 29, height = 17;
    const UT_SharedPtr<CEL_Cel> source = picture(width, height);
    const CELIO_Manager* manager = CELIO_Manager::getInstance();
    int swept = 0;
    for (const CELIO_Handler* handler : celfuzz::handlers()) {
        if (handler->getWriteExtensions().isEmpty()) continue;
        const QString name = celfuzz::nameOf(*handler);
        QStringList codes = handler->getWriteOptionCodes();
        if (codes.isEmpty()) codes << QString();
        for (const QString& code : codes) {
            SCOPED_TRACE(qPrintable(name + QStringLiteral(" code ") + code));
            const QString path =
                dir.path(QStringLiteral("good.") + handler->getWriteExtensions().front().toLower());
            bool written = false;
            try {
                written = manager->write(source.get(), path, handler->getExtensions().front(), code);
            } catch (int) {
            }
            const QByteArray good = celtest::readFile(path);
            if (!written || good.isEmpty()) continue;
            ++swept;
            // The size the intact file reads at: the size written, except for formats
            // whose frames have one fixed size.
            int wantWidth = width, wantHeight = height;
            {
                const CELIO_MemoryFile intact(good.constData(), size_t(good.size()),
                                              QStringLiteral("good.") + name);
                CELIO_RepresentationList list;
                ASSERT_TRUE(manager->read(intact, CEL_Context(), list) && !list.empty());
                const auto* pixmap = dynamic_cast<const CEL_Pixmap*>(list.front().get());
                ASSERT_NE(pixmap, nullptr);
                wantWidth = pixmap->width();
                wantHeight = pixmap->height();
            }
            Sweep sweep{*handler, name, wantWidth, wantHeight, watchdog, dir};
            const int size = int(good.size());
            const int head = std::min(size, std::max(128, handler->getFileHeaderSize()));
            for (int n = 0; n < head; ++n) sweep.read(good.left(n), "cut at " + std::to_string(n), true);
            for (int k = 1; k <= 20 && head < size; ++k) {
                const int n = head + int(int64_t(size - head) * k / 21);
                sweep.read(good.left(n), "cut at " + std::to_string(n), true);
            }
            std::mt19937 rng(uint32_t(qHash(name + code)));
            for (int k = 0; k < 200; ++k) {
                QByteArray bad = good;
                const int at = int(rng() % uint32_t(size));
                bad[at] = char(bad[at] ^ char(1 + rng() % 255));
                sweep.read(bad, "byte " + std::to_string(at) + " changed", false);
            }
        }
    }
    EXPECT_GE(swept, int(celfuzz::handlers().size()));
}
