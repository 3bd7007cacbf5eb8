// truncation.h - what a sound file's own structure says is missing from it.
//
// libsndfile fits its frame count to the data that is there: a file cut
// short opens as a shorter whole one in most formats, and says so, if at
// all, only in its log.  This reads the file's header (or, for Ogg and for
// a FLAC stream of no stated length, its pages or last frame) itself and
// compares what it promises with what the file holds.
#ifndef ASRC_AUDIO_TRUNCATION_H
#define ASRC_AUDIO_TRUNCATION_H

#include <cstdint>
#include <string>

namespace asrc_audio {

// For the file at `path`, opened by libsndfile as `format` (SF_INFO's) with
// `channels`: empty when nothing is known to be missing, else the rest of a
// message after the file's name: "is truncated: ..." or "has an unfinished
// header: ...".  Empty also when the file is not a regular file (a pipe is
// not read twice) and where the format cannot tell:
//   WAV, RF64, W64, AIFF, AU, NIST  data size in the header against the file
//                                   (a WAV or AU size of 0xFFFFFFFF, written
//                                   as a stream, is no promise; a WAV data
//                                   size of 0 with data after it is an
//                                   unfinished header)
//   VOC                             every block's length against the file
//   IRCAM, PAF                      no length at all: only a cut inside a
//                                   frame shows
//   Ogg (Vorbis, Opus)              every page whole, every stream ended by
//                                   its end-of-stream page (a cut between
//                                   pages shows too)
//   FLAC of no stated length        the file ends on a whole frame, checked
//                                   by its CRC (a cut between frames does not
//                                   show); with a stated length the count
//                                   read is compared by the caller
//   anything else                   not checked
std::string missing_data(const std::string& path, int format, int channels);

// The CRCs of a FLAC frame: CRC-8 (polynomial 0x07) of its header and
// CRC-16 (0x8005) of the whole frame, both from 0, MSB first.  A frame
// followed by its own CRC-16 gives 0.
std::uint8_t flac_crc8(const unsigned char* data, std::size_t size);
std::uint16_t flac_crc16(const unsigned char* data, std::size_t size);

} // namespace asrc_audio

#endif
