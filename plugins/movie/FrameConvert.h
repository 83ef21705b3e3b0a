#pragma once
// The decoder's own conversions of decoded frames to RGBA8, for the formats
// where libswscale's general path costs as much as decoding: planar 4:4:4
// YUV of 9 to 12 bits with or without alpha (ProRes 4444 and similar
// intermediates), and packed RGBA / RGB (PNG, QuickTime RLE and animation
// codecs). Every other format stays with libswscale.
//
// Colour follows libswscale's reading of the stream: its matrix coefficients
// for the frame's colour space, limited or full range, chroma centred at half
// the code range, so results are within one level of libswscale's (alpha is
// the same: round to nearest of the 8 top bits, as libswscale does).
#include <cstddef>
#include <cstdint>

struct AVFrame;

// The frame converted to `width` x `height` RGBA8 at `dst` (rows of width x 4
// bytes), colour premultiplied by alpha when `premultiply` is set. False,
// with nothing written, when the frame's format or size is not one of ours:
// the caller then uses libswscale.
bool MOV_convertFrameToRgba8(const AVFrame* frame, int width, int height, uint8_t* dst, bool premultiply);

// Colour multiplied by alpha in place, round(c x a / 255), over `pixels`
// RGBA8 pixels: for what libswscale converted.
void MOV_premultiplyRgba8(uint8_t* rgba, size_t pixels);
