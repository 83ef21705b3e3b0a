#pragma once
// The message facility: every warning and failure the library reports is
// posted as a record (untranslated text, translated text, action, code) to one
// process-wide sink. The default sink prints the translated text to standard
// error; a host (or a test) installs its own.
//
//   MSG_Scope msg("CELIO_Manager", "unable to read %1", 2);
//   msg.text().arg(path);
//   msg.post(10);

#include <QString>
#include <QStringList>
#include <functional>
#include <mutex>
#include <vector>

#include "celcore_export.h"

struct MSG_Record {
    QString source;     // the untranslated text (or the context it was given as)
    QString translated; // the text translated in its context
    int action = 0;     // 0 warning, 2 failed read/write, 5 configuration, 6 algorithm failure
    int code = 0;       // the message code (10 read, 20 write, 9 out of memory, ...)
};

// Placeholder filling: arg() replaces the lowest-numbered %n in both texts,
// with QString::arg semantics.
class CELCORE_EXPORT MSG_Text {
public:
    MSG_Text() = default;
    MSG_Text(const QString& source, const QString& translated) : m_source(source), m_translated(translated) {}
    MSG_Text& arg(const QString& a);
    MSG_Text& arg(const char* a) { return arg(QString::fromUtf8(a)); }
    MSG_Text& arg(int a) { return arg(QString::number(a)); }
    MSG_Text& arg(unsigned a) { return arg(QString::number(a)); }
    MSG_Text& arg(long long a) { return arg(QString::number(a)); }
    MSG_Text& arg(double a) { return arg(QString::number(a)); }
    const QString& source() const { return m_source; }
    const QString& translated() const { return m_translated; }

private:
    QString m_source;
    QString m_translated;
};

class CELCORE_EXPORT MSG_Scope {
public:
    // Translates text through QCoreApplication::translate in the given context.
    MSG_Scope(const char* context, const char* text, int action);
    // Untranslated source and already-translated text.
    MSG_Scope(const QString& source, const QString& translated, int action);
    MSG_Text& text() { return m_text; }
    template <class T> MSG_Scope& arg(const T& a) {
        m_text.arg(a);
        return *this;
    }
    int action() const { return m_action; }
    void post(int code = 0) const;

private:
    MSG_Text m_text;
    int m_action;
};

class CELCORE_EXPORT QXMessage {
public:
    using Sink = std::function<void(const MSG_Record&)>;
    static QXMessage& instance();

    void post(const MSG_Record& record);
    // Posts a bare notification with a code and an already-translated text (action 2).
    void notify(int code, const QString& text);
    // Installs a sink; an empty function restores the default (standard error).
    // Returns the sink that was installed before.
    Sink setSink(Sink sink);
    static void printToStderr(const MSG_Record& record);

    // Collects every record posted while it lives (thread-safe); restores the
    // previous sink when destroyed. Used by tests and by hosts that batch messages.
    class CELCORE_EXPORT Capture {
    public:
        Capture();
        ~Capture();
        Capture(const Capture&) = delete;
        Capture& operator=(const Capture&) = delete;
        std::vector<MSG_Record> records() const;
        QStringList texts() const; // the untranslated texts, in posting order
        bool contains(const QString& source) const;
        void clear();

    private:
        mutable std::mutex m_mutex;
        std::vector<MSG_Record> m_records;
        Sink m_previous;
    };

private:
    QXMessage() = default;
    std::mutex m_mutex;
    Sink m_sink;
};
