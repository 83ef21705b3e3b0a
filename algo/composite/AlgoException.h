#pragma once
// The one exception type of the image algorithms. Every CelAlgo function that
// cannot do its work throws it by value with a short text ("invalid pointer",
// "out of memory", "incorrect parameters", or an operation-specific message);
// callers catch it and read what().

#include <QString>

#include "celcore_export.h"

namespace CelAlgo {

class CELCORE_EXPORT AlgoException {
public:
    AlgoException() = default;
    explicit AlgoException(const QString& message);
    // The text is read as Latin-1.
    explicit AlgoException(const char* message);
    AlgoException(const AlgoException& other);
    AlgoException& operator=(const AlgoException& other);
    virtual ~AlgoException();

    virtual const QString& what() const;

private:
    QString m_message;
};

} // namespace CelAlgo
