#include "base/Message.h"

#include <QCoreApplication>
#include <cstdio>

MSG_Text& MSG_Text::arg(const QString& a) {
    // QString::arg warns on a missing placeholder; a message without one keeps its text.
    if (m_source.contains(QLatin1Char('%'))) m_source = m_source.arg(a);
    if (m_translated.contains(QLatin1Char('%'))) m_translated = m_translated.arg(a);
    return *this;
}

MSG_Scope::MSG_Scope(const char* context, const char* text, int action)
    : m_text(QString::fromUtf8(text), QCoreApplication::translate(context, text)), m_action(action) {}

MSG_Scope::MSG_Scope(const QString& source, const QString& translated, int action)
    : m_text(source, translated), m_action(action) {}

void MSG_Scope::post(int code) const {
    QXMessage::instance().post(MSG_Record{m_text.source(), m_text.translated(), m_action, code});
}

QXMessage& QXMessage::instance() {
    static QXMessage inst;
    return inst;
}

void QXMessage::post(const MSG_Record& record) {
    Sink sink;
    {
        std::lock_guard lock(m_mutex);
        sink = m_sink;
    }
    if (sink)
        sink(record);
    else
        printToStderr(record);
}

void QXMessage::notify(int code, const QString& text) {
    post(MSG_Record{text, text, 2, code});
}

QXMessage::Sink QXMessage::setSink(Sink sink) {
    std::lock_guard lock(m_mutex);
    Sink old = std::move(m_sink);
    m_sink = std::move(sink);
    return old;
}

void QXMessage::printToStderr(const MSG_Record& record) {
    QByteArray text = record.translated.toUtf8();
    if (!text.endsWith('\n')) text.append('\n');
    std::fwrite(text.constData(), 1, size_t(text.size()), stderr);
    std::fflush(stderr);
}

QXMessage::Capture::Capture() {
    m_previous = QXMessage::instance().setSink([this](const MSG_Record& r) {
        std::lock_guard lock(m_mutex);
        m_records.push_back(r);
    });
}

QXMessage::Capture::~Capture() {
    QXMessage::instance().setSink(std::move(m_previous));
}

std::vector<MSG_Record> QXMessage::Capture::records() const {
    std::lock_guard lock(m_mutex);
    return m_records;
}

QStringList QXMessage::Capture::texts() const {
    std::lock_guard lock(m_mutex);
    QStringList out;
    for (const auto& r : m_records) out << r.source;
    return out;
}

bool QXMessage::Capture::contains(const QString& source) const {
    std::lock_guard lock(m_mutex);
    for (const auto& r : m_records)
        if (r.source == source) return true;
    return false;
}

void QXMessage::Capture::clear() {
    std::lock_guard lock(m_mutex);
    m_records.clear();
}
