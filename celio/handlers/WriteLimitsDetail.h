#pragma once
// The writers' refusal of images their files cannot describe: checked on the
// converted pixmap, before the output is opened, so that nothing is created
// or truncated. The message is posted in the handler's context (action 2,
// code 20, as other write failures).

#include <cstdint>

#include "base/Message.h"

namespace celio_detail {

// True when width and height fit the header's fields; otherwise posts
// "Image of W x H pixels too large for a FORMAT file (at most MW x MH)".
inline bool fitsHeader(const char* context, const char* format, int64_t width, int64_t height,
                       int64_t maxWidth, int64_t maxHeight) {
    if (width <= maxWidth && height <= maxHeight) return true;
    MSG_Scope(context, "Image of %1 x %2 pixels too large for a %3 file (at most %4 x %5)\n", 2)
        .arg((long long)width)
        .arg((long long)height)
        .arg(format)
        .arg((long long)maxWidth)
        .arg((long long)maxHeight)
        .post(20);
    return false;
}

// True when the file's byte count fits its 32-bit size and offset fields;
// otherwise posts "Image of W x H pixels too large for a FORMAT file (at most
// 4 GiB of data)".
inline bool fitsFileSize(const char* context, const char* format, int64_t width, int64_t height,
                         uint64_t bytes) {
    if (bytes <= 0xffffffffu) return true;
    MSG_Scope(context, "Image of %1 x %2 pixels too large for a %3 file (at most 4 GiB of data)\n", 2)
        .arg((long long)width)
        .arg((long long)height)
        .arg(format)
        .post(20);
    return false;
}

} // namespace celio_detail
