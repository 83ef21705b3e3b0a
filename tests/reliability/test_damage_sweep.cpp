// Damage sweep over every handler and code: a small picture written, then read
// cut short (every byte of the header, 20 points after) and with 200 seeded byte
// changes. Every read ends, fails with a message or gives an image of the size
// the file declares, and leaks nothing (the sanitizer builds run this too).
#include <QDateTime>
#include <csignal>
#include <cstdlib>
#include <gtest/gtest.h>
#include <random>
#include <unistd.h>

#include "FuzzExercise.h"
#include "base/Message.h"
#include "cel/Cel.h"
#include "cel/Context.h"
#include "celio/Manager.h"
#include "celio/MemoryFile.h"
#include "pixel/PixmapCanvas.h"
#include "support/TestSupport.h"

namespace {

// A read that takes longer than a minute is a hang (sanitizer builds included,
// where these small reads take milliseconds): the alarm ends the process.
std::string g_reading;
void onAlarm(int) {
    const char head[] = "damage sweep: no end to reading ";
    (void)!write(2, head, sizeof head - 1);
    (void)!write(2, g_reading.data(), g_reading.size());
    std::_Exit(1);
}

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

// Reads damaged bytes from memory (and from a file when asked): a failure must
// come with a message; an image must have the size of the intact file or the
// one the damaged header declares (a top-down BMP declares a negative height).
void readDamaged(const QString& name, celtest::TempDir& dir, const QSize& intact, const QByteArray& bytes,
                 const std::string& what, bool alsoFromFile) {
    SCOPED_TRACE(what);
    const CELIO_Manager* manager = CELIO_Manager::getInstance();
    const CELIO_MemoryFile file(bytes.constData(), size_t(bytes.size()), QStringLiteral("damaged.") + name);
    QXMessage::Capture messages;
    g_reading = name.toStdString() + " " + what;
    alarm(60);
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
    alarm(0);
    if (!ok) {
        EXPECT_FALSE(messages.records().empty()) << "a failure without a message";
        return;
    }
    const auto* pixmap = list.empty() ? nullptr : dynamic_cast<const CEL_Pixmap*>(list.front().get());
    ASSERT_NE(pixmap, nullptr);
    const int w = pixmap->width(), h = pixmap->height();
    const bool declared = hasInfo && int64_t(info.width) == w &&
                          (int64_t(info.height) == h || -int64_t(int32_t(info.height)) == h);
    EXPECT_TRUE(QSize(w, h) == intact || declared) << w << " x " << h;
}

} // namespace

TEST(DamageSweep, EveryHandlerEveryCodeCutAndChanged) {
    celfuzz::setUp();
    celtest::TempDir dir;
    const auto previous = signal(SIGALRM, onAlarm);
    const UT_SharedPtr<CEL_Cel> source = picture(29, 17);
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
            const CELIO_MemoryFile intact(good.constData(), size_t(good.size()),
                                          QStringLiteral("good.") + name);
            CELIO_RepresentationList list;
            ASSERT_TRUE(manager->read(intact, CEL_Context(), list) && !list.empty());
            const auto* pixmap = dynamic_cast<const CEL_Pixmap*>(list.front().get());
            ASSERT_NE(pixmap, nullptr);
            const auto sweep = [&, want = QSize(pixmap->width(), pixmap->height())](
                                   const QByteArray& bytes, const std::string& what, bool alsoFromFile) {
                readDamaged(name, dir, want, bytes, what, alsoFromFile);
            };
            const int size = int(good.size());
            const int head = std::min(size, std::max(128, handler->getFileHeaderSize()));
            for (int n = 0; n < head; ++n) sweep(good.left(n), "cut at " + std::to_string(n), true);
            for (int k = 1; k <= 20 && head < size; ++k) {
                const int n = head + int(int64_t(size - head) * k / 21);
                sweep(good.left(n), "cut at " + std::to_string(n), true);
            }
            std::mt19937 rng(uint32_t(qHash(name + code)));
            for (int k = 0; k < 200; ++k) {
                QByteArray bad = good;
                const int at = int(rng() % uint32_t(size));
                bad[at] = char(bad[at] ^ char(1 + rng() % 255));
                sweep(bad, "byte " + std::to_string(at) + " changed", false);
            }
        }
    }
    signal(SIGALRM, previous);
    EXPECT_GE(swept, int(celfuzz::handlers().size()));
}
