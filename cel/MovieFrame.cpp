#include "cel/MovieFrame.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <mutex>

#include "celio/Manager.h"
#include "celio/handlers/MovieHandler.h"
#include "pixel/PixmapCanvas.h"

// The data every frame of one movie shares.
struct CELMOV_MovieFrame::Shared {
    QString filename;
    std::unique_ptr<MOV_AbstractMovieDecoder> decoder;
    MOV_AbstractMovieDecoder::DecodeRequest request;
    MOV_AbstractMovieDecoder::MovieInfo info;
    std::mutex objectsMutex;
    std::map<UT_DynKey, UT_SharedWeakPtr<UT_SharedWeakBase>> objects;
};

namespace {

std::map<QString, const MOV_AbstractMovieDecoder::Factory*>& registry() {
    static std::map<QString, const MOV_AbstractMovieDecoder::Factory*> map;
    return map;
}

const MOV_AbstractMovieDecoder::Factory* factoryFor(const QString& path) {
    const qsizetype dot = path.lastIndexOf(QLatin1Char('.'));
    if (dot < 0) return nullptr;
    const auto& map = registry();
    const auto it = map.find(path.mid(dot + 1).toLower());
    return it == map.end() ? nullptr : it->second;
}

} // namespace

// ------------------------------------------------------------------ decoder interface

MOV_AbstractMovieDecoder::Factory::~Factory() = default;
MOV_AbstractMovieDecoder::~MOV_AbstractMovieDecoder() = default;

bool MOV_AbstractMovieDecoder::oglDecodeFrame(UT_DynKey, int, void*) {
    return false;
}
bool MOV_AbstractMovieDecoder::oglFrameDataAvailable(UT_DynKey, int) {
    return false;
}
bool MOV_AbstractMovieDecoder::hidesFilename() const {
    return false;
}
bool MOV_AbstractMovieDecoder::audioSupported() const {
    return false;
}
bool MOV_AbstractMovieDecoder::fileCodecIsSupported(const QString&) const {
    return false;
}

void MOV_AbstractMovieDecoder::setFactory(const QStringList& extensions, const Factory* factory) {
    for (const QString& ext : extensions) registry()[ext.toLower()] = factory;
    CELIO_Manager::getInstance()->addHandler(new CELMOV_MovieHandler(extensions));
}

MOV_AbstractMovieDecoder* MOV_AbstractMovieDecoder::createDecoder(const QString& path) {
    const Factory* factory = factoryFor(path);
    return factory ? factory->createDecoder() : nullptr;
}

bool MOV_AbstractMovieDecoder::canCreateDecoderForExtension(const QString& ext) {
    return registry().count(ext.toLower()) != 0;
}

bool MOV_AbstractMovieDecoder::isAudioSupported(const QString& path) {
    std::unique_ptr<MOV_AbstractMovieDecoder> decoder(createDecoder(path));
    return decoder && decoder->audioSupported();
}

bool MOV_AbstractMovieDecoder::isFileSupported(const QString& path) {
    std::unique_ptr<MOV_AbstractMovieDecoder> decoder(createDecoder(path));
    return decoder && decoder->fileCodecIsSupported(path);
}

void MOV_AbstractMovieDecoder::aboutToRenameMovieFile(const QString& a, const QString& path,
                                                      const QString& c) {
    if (const Factory* factory = factoryFor(path)) factory->aboutToRenameMovieFile(a, path, c);
}

// ------------------------------------------------------------------ movie frame

CELMOV_MovieFrame::CELMOV_MovieFrame(const QString& filename, int frame)
    : m_shared(std::make_shared<Shared>()), m_frame(frame) {
    m_shared->filename = filename;
    m_shared->decoder.reset(MOV_AbstractMovieDecoder::createDecoder(filename));
    if (m_shared->decoder &&
        !m_shared->decoder->open(filename.toUtf8().constData(), &m_shared->request, &m_shared->info))
        m_shared->decoder.reset();
}

CELMOV_MovieFrame::CELMOV_MovieFrame(std::shared_ptr<Shared> shared, int frame)
    : m_shared(std::move(shared)), m_frame(frame) {}

CELMOV_MovieFrame::CELMOV_MovieFrame(const CELMOV_MovieFrame& other)
    : CEL_Representation(other), m_shared(other.m_shared), m_frame(other.m_frame) {}

CELMOV_MovieFrame::~CELMOV_MovieFrame() = default;

CELMOV_MovieFrame* CELMOV_MovieFrame::cloneNewFrame(int frame) const {
    return new CELMOV_MovieFrame(m_shared, frame);
}

CEL_Representation::CelFormat CELMOV_MovieFrame::getFormat() const {
    return m_shared->decoder ? MOVIE_FRAME : NONE;
}

CELMOV_MovieFrame* CELMOV_MovieFrame::clone() const {
    return new CELMOV_MovieFrame(*this);
}

bool CELMOV_MovieFrame::convertibleTo(CelFormat format) const {
    return format >= PIXMAP_AREA_RGBA16 && format <= PIXMAP_MATTE8;
}

CEL_Representation* CELMOV_MovieFrame::convertTo(CelFormat format) const {
    bool ok = false;
    return convertToImpl(format, ok);
}

CEL_Representation* CELMOV_MovieFrame::convertToImpl(CelFormat format, bool& ok) const {
    ok = false;
    MOV_AbstractMovieDecoder* decoder = m_shared->decoder.get();
    if (!decoder) return nullptr;
    Math::Size2di size = decodedSize();
    if (size.width == 0 || size.height == 0) size = Math::Size2di(16, 16);
    auto pixmap = std::make_unique<CEL_PixmapRGBA8>(size, CEL_PixmapRGBA8::DoNotMemset());
    if (!pixmap->data()) return nullptr; // over the pixmap byte cap, or out of memory
    {
        PL_SpinMutex::ScopeLock lock(decoder->decodeMutex());
        ok = decoder->decodeFrame(m_frame - 1, pixmap->data());
    }
    if (!ok)
        std::fill_n(pixmap->data(), size_t(size.width) * size_t(size.height), CEL_PixelRGBA8{0, 0, 0, 0});
    if (format == PIXMAP_RGBA8) return pixmap.release();
    return pixmap->convertTo(format);
}

unsigned long long CELMOV_MovieFrame::allocatedSize() const {
    if (!m_shared->decoder) return 0;
    const Math::Size2di size = decodedSize();
    return static_cast<unsigned long long>(size.width) * static_cast<unsigned long long>(size.height) * 4ull;
}

Math::Box2di CELMOV_MovieFrame::canvasRect() const {
    if (!m_shared->decoder) return Math::Box2di();
    const Math::Size2di size = decodedSize();
    return Math::Box2di(0, 0, size.width, size.height);
}

bool CELMOV_MovieFrame::isFrameDataAvailable() const {
    MOV_AbstractMovieDecoder* decoder = m_shared->decoder.get();
    if (!decoder) return false;
    PL_SpinMutex::ScopeLock lock(decoder->decodeMutex());
    return decoder->frameDataAvailable(m_frame);
}

Math::Size2di CELMOV_MovieFrame::movieSize() const {
    return Math::Size2di(std::max(0, m_shared->info.movieWidth), std::max(0, m_shared->info.movieHeight));
}

Math::Size2di CELMOV_MovieFrame::decodedSize() const {
    return Math::Size2di(std::max(0, m_shared->info.decodedWidth), std::max(0, m_shared->info.decodedHeight));
}

double CELMOV_MovieFrame::movieFrameRate() const {
    return m_shared->decoder ? m_shared->info.frameRate : 1.0;
}

int CELMOV_MovieFrame::movieNumberOfFrames() const {
    return m_shared->decoder ? m_shared->info.numberOfFrames : 0;
}

bool CELMOV_MovieFrame::movieHasAlpha() const {
    return m_shared->decoder && m_shared->info.hasAlpha;
}

QString CELMOV_MovieFrame::movieCodecName() const {
    return m_shared->decoder ? m_shared->info.codecName : QString();
}

QString CELMOV_MovieFrame::filename() const {
    if (m_shared->decoder && m_shared->decoder->hidesFilename()) return QString();
    return m_shared->filename;
}

bool CELMOV_MovieFrame::hasDecoder() const {
    return m_shared->decoder != nullptr;
}

void CELMOV_MovieFrame::setDecodedSize(const Math::Size2di& size) {
    MOV_AbstractMovieDecoder* decoder = m_shared->decoder.get();
    if (!decoder) return;
    PL_SpinMutex::ScopeLock lock(decoder->decodeMutex());
    if (m_shared->request.overridden || size == decodedSize()) return;
    std::fputs("CELMOV_MovieFrame::setDecodedSize overriding current value\n", stdout);
    std::fflush(stdout);
    m_shared->request.overridden = true;
    m_shared->request.requestedWidth = static_cast<uint32_t>(std::max(0, size.width));
    m_shared->request.requestedHeight = static_cast<uint32_t>(std::max(0, size.height));
    decoder->open(m_shared->filename.toUtf8().constData(), &m_shared->request, &m_shared->info);
}

UT_SharedWeakPtr<UT_SharedWeakBase> CELMOV_MovieFrame::getObject(UT_DynKey key) const {
    std::lock_guard<std::mutex> lock(m_shared->objectsMutex);
    const auto it = m_shared->objects.find(key);
    return it == m_shared->objects.end() ? UT_SharedWeakPtr<UT_SharedWeakBase>() : it->second;
}

void CELMOV_MovieFrame::setObject(UT_DynKey key, UT_SharedWeakPtr<UT_SharedWeakBase> object) {
    std::lock_guard<std::mutex> lock(m_shared->objectsMutex);
    m_shared->objects[key] = std::move(object);
}

bool CELMOV_MovieFrame::oglFrameDataAvailable(UT_DynKey key) const {
    MOV_AbstractMovieDecoder* decoder = m_shared->decoder.get();
    if (!decoder) return false;
    PL_SpinMutex::ScopeLock lock(decoder->decodeMutex());
    return decoder->oglFrameDataAvailable(key, m_frame);
}

CEL_PixmapRGBA8* CELMOV_MovieFrame::oglGetFrame(UT_DynKey key) const {
    MOV_AbstractMovieDecoder* decoder = m_shared->decoder.get();
    if (!decoder) return nullptr;
    const Math::Size2di size = decodedSize();
    if (size.width <= 0 || size.height <= 0) return nullptr;
    auto pixmap = std::make_unique<CEL_PixmapRGBA8>(size);
    if (!pixmap->data()) return nullptr;
    PL_SpinMutex::ScopeLock lock(decoder->decodeMutex());
    return decoder->oglDecodeFrame(key, m_frame - 1, pixmap->data()) ? pixmap.release() : nullptr;
}
