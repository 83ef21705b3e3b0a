#pragma once
// Movie decoding through libav (libavformat, libavcodec, libswscale).
//
// MOV_registerFfmpegDecoders() registers a decoder factory (and so a movie
// file handler) for mov, mp4, m4v, mkv, webm, avi and mxf. What the decoder
// promises:
// - Local files only: the file protocol alone, and for each extension the one
//   demuxer that format needs (never a probe over all formats, so a ".mov"
//   holding a playlist or a concat script opens nothing else); external
//   references of MOV files are not followed.
// - Frame N (1-based) is the N-th frame in presentation order. MOV/MP4 files
//   of intra-only pictures (ProRes, PNG, DNxHD ...) are indexed from their
//   sample table, without reading a picture; other files by a scan of the
//   video packets at open, whose presentation times order them; a file
//   without presentation times (AVI) is taken in the order the decoder
//   outputs frames.
// - MOV and Matroska files of common codecs open from the container header
//   alone (libav's stream probe, which decodes a first frame, runs for the
//   others).
// - ProRes 4444 and other planar 4:4:4 YUV of 9-12 bits, and RGB(A) pictures,
//   are converted by the plug-in's own vectorised code (within one level of
//   libswscale's); other formats by libswscale.
// - Random access seeks to the keyframe at or before the frame and decodes
//   on; the same or the next frame, or a later one with no keyframe in
//   between, decode on without seeking.
// - Pixels are RGBA8 converted with the stream's colour matrix and range;
//   colour is premultiplied by alpha (round(c x a / 255)) where the stream has
//   alpha, and alpha is 255 elsewhere.
// - The decoded size is checked against the pixmap byte cap before anything
//   is allocated. libav's errors go to the message facility.

#include <QString>
#include <vector>

class CEL_PixmapRGBA8;
class MOV_AbstractMovieDecoder;

// Registers the factory for the extensions above; later calls do nothing.
void MOV_registerFfmpegDecoders();

// Decoder threads of decoders opened from now on; 0 (the default) uses one per core.
void MOV_setFfmpegDecoderThreads(int threads);
int MOV_ffmpegDecoderThreads();

// Encodes opaque RGBA8 frames (all of one size) as a movie at `rate` frames a
// second: codec "png" (RGBA) or "h264" (4:2:0, a keyframe every `gop`
// frames, B-frames). The container follows the extension. False with the
// reason in `error`.
bool MOV_encodeFfmpegMovie(const QString& path, const std::vector<const CEL_PixmapRGBA8*>& frames, int rate,
                           const QString& codec, int gop, QString& error);

// Entry points for hosts that load this library only when a movie is opened
// (dlopen, then dlsym by these unmangled names), so that a process that never
// opens one never pays for loading libav and its dependencies. The host
// registers a factory of its own for the extensions above, whose decoders
// come from MOV_ffmpegNewDecoder.
extern "C" {
// A new decoder, owned by the caller (libav's log is routed to the message facility first).
MOV_AbstractMovieDecoder* MOV_ffmpegNewDecoder();
// As MOV_setFfmpegDecoderThreads.
void MOV_ffmpegSetThreads(int threads);
// As MOV_encodeFfmpegMovie.
bool MOV_ffmpegEncode(const QString& path, const std::vector<const CEL_PixmapRGBA8*>& frames, int rate,
                      const QString& codec, int gop, QString& error);
}
