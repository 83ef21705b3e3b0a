#include "DemoText.h"

#include <cstdint>

#include "pixel/PixmapArea.h"

namespace celtool {

namespace {

// Rows top to bottom, the leftmost column in bit 16.
const uint8_t* glyph(char c) {
    static const uint8_t digits[10][7] = {{14, 17, 19, 21, 25, 17, 14}, {4, 12, 4, 4, 4, 4, 14},
                                          {14, 17, 1, 2, 4, 8, 31},     {31, 2, 4, 2, 1, 17, 14},
                                          {2, 6, 10, 18, 31, 2, 2},     {31, 16, 30, 1, 1, 17, 14},
                                          {6, 8, 16, 30, 17, 17, 14},   {31, 1, 2, 4, 8, 8, 8},
                                          {14, 17, 17, 14, 17, 17, 14}, {14, 17, 17, 15, 1, 2, 12}};
    static const uint8_t letters[26][7] = {
        {14, 17, 17, 31, 17, 17, 17}, {30, 17, 17, 30, 17, 17, 30}, {14, 17, 16, 16, 16, 17, 14},
        {28, 18, 17, 17, 17, 18, 28}, {31, 16, 16, 30, 16, 16, 31}, {31, 16, 16, 30, 16, 16, 16},
        {14, 17, 16, 23, 17, 17, 15}, {17, 17, 17, 31, 17, 17, 17}, {14, 4, 4, 4, 4, 4, 14},
        {7, 2, 2, 2, 2, 18, 12},      {17, 18, 20, 24, 20, 18, 17}, {16, 16, 16, 16, 16, 16, 31},
        {17, 27, 21, 21, 17, 17, 17}, {17, 17, 25, 21, 19, 17, 17}, {14, 17, 17, 17, 17, 17, 14},
        {30, 17, 17, 30, 16, 16, 16}, {14, 17, 17, 17, 21, 18, 13}, {30, 17, 17, 30, 20, 18, 17},
        {15, 16, 16, 14, 1, 1, 30},   {31, 4, 4, 4, 4, 4, 4},       {17, 17, 17, 17, 17, 17, 14},
        {17, 17, 17, 17, 17, 10, 4},  {17, 17, 17, 21, 21, 21, 10}, {17, 17, 10, 4, 10, 17, 17},
        {17, 17, 10, 4, 4, 4, 4},     {31, 1, 2, 4, 8, 16, 31}};
    static const struct {
        char c;
        uint8_t rows[7];
    } marks[] = {
        {'_', {0, 0, 0, 0, 0, 0, 31}}, {'.', {0, 0, 0, 0, 0, 12, 12}}, {':', {0, 12, 12, 0, 12, 12, 0}},
        {',', {0, 0, 0, 0, 12, 4, 8}}, {'-', {0, 0, 0, 31, 0, 0, 0}},  {'(', {2, 4, 8, 8, 8, 4, 2}},
        {')', {8, 4, 2, 2, 2, 4, 8}},  {'~', {0, 0, 8, 21, 2, 0, 0}},  {';', {0, 12, 12, 0, 12, 4, 8}}};
    static const uint8_t blank[7] = {0, 0, 0, 0, 0, 0, 0};
    if (c >= '0' && c <= '9') return digits[c - '0'];
    if (c >= 'A' && c <= 'Z') return letters[c - 'A'];
    if (c >= 'a' && c <= 'z') return letters[c - 'a'];
    for (const auto& m : marks)
        if (m.c == c) return m.rows;
    return blank;
}

} // namespace

void drawText(CEL_PixmapAreaRGBA16& p, int x0, int y0, const std::string& text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const uint8_t* rows = glyph(text[i]);
        for (int y = 0; y < 7; ++y)
            for (int x = 0; x < 5; ++x)
                if (rows[y] & (16 >> x))
                    if (CEL_PixelRGBA16* px = p.pixel(x0 + int(i) * kGlyphAdvance + x, y0 + y))
                        *px = CEL_PixelRGBA16{32767, 32767, 32767, 32767};
    }
}

} // namespace celtool
