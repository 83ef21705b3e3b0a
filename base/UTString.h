#pragma once
// The string type of the host framework's text fields. Qt's QString already
// gives what those fields need (UTF-16, implicit sharing), so it is used as is.

#include <QString>

using UT_String = QString;
