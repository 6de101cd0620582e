#pragma once

#include <cstddef>
#include <cstdint>

namespace quarrow {

// Incremental decoder for the LZSS bit format of compressed containers. Bits
// are read most significant first. An item is either tag 1 and an 8-bit
// literal, or tag 0, window_sz2 bits of distance - 1 and lookahead_sz2 bits
// of length - 1: copy length bytes from distance bytes back in a window of
// the last 2^window_sz2 output bytes (initially zeros).
//
// Input is pushed with lzss_decoder_sink and output pulled with
// lzss_decoder_poll; the state persists between calls, so a call may stop in
// the middle of a back-reference and the next one resumes it. Decoding never
// allocates.

enum LzssDecoderState : uint8_t {
  DECODER_TAG_BIT = 0,
  DECODER_YIELD_LITERAL = 1,
  DECODER_BACKREF_INDEX_MSB = 2,
  DECODER_BACKREF_INDEX_LSB = 3,
  DECODER_BACKREF_COUNT_MSB = 4,
  DECODER_BACKREF_COUNT_LSB = 5,
  DECODER_YIELD_BACKREF = 6,
};

enum LzssSinkResult : int32_t {
  SINK_OK = 0,
  SINK_FULL = 1,  // the input buffer has no room; nothing was taken
  SINK_ERROR_NULL = -1,
};

enum LzssPollResult : int32_t {
  POLL_EMPTY = 0,  // needs more input
  POLL_MORE = 1,   // the output buffer is full
  POLL_ERROR_NULL = -1,
  POLL_ERROR_UNKNOWN = -2,  // the state is not one of LzssDecoderState
};

enum LzssFinishResult : int32_t {
  FINISH_DONE = 0,
  FINISH_MORE = 1,  // buffered input or a back-reference remains
  FINISH_ERROR_NULL = -1,
};

// One allocation: these fields, then the input buffer, then the window.
struct LzssDecoder {
  uint16_t input_size;    // bytes in the input buffer
  uint16_t input_index;   // next unread input byte
  uint16_t output_count;  // bytes of the current back-reference still to copy
  uint16_t output_index;  // back-reference distance
  uint16_t head_index;    // bytes written to the window, modulo 2^16
  uint8_t state;
  uint8_t current_byte;
  uint8_t bit_index;  // mask of the next bit of current_byte; 0 = none left
  uint8_t window_sz2;
  uint8_t lookahead_sz2;
  uint16_t input_buffer_size;

  uint8_t* input_buffer() { return reinterpret_cast<uint8_t*>(this + 1); }
  uint8_t* window() { return input_buffer() + input_buffer_size; }
};

// True when 4 <= window_sz2 <= 15 and 3 <= lookahead_sz2 < window_sz2.
bool lzss_decoder_params_valid(uint8_t window_sz2, uint8_t lookahead_sz2);

// Null unless the parameters are valid and 0 < input_buffer_size <= 65535,
// or when memory is short.
LzssDecoder* lzss_decoder_alloc(size_t input_buffer_size, uint8_t window_sz2,
                                uint8_t lookahead_sz2);
void lzss_decoder_free(LzssDecoder* decoder);

// Appends up to the free room of the input buffer; *taken says how much.
LzssSinkResult lzss_decoder_sink(LzssDecoder* decoder, const uint8_t* bytes, size_t size,
                                 size_t* taken);

// Decodes into output until it is full or the input runs dry; *produced
// says how many bytes were written.
LzssPollResult lzss_decoder_poll(LzssDecoder* decoder, uint8_t* output, size_t output_size,
                                 size_t* produced);

// FINISH_DONE once all input is consumed and no back-reference is pending.
// Up to seven zero padding bits at the end of the input look like the start
// of a back-reference and are ignored.
LzssFinishResult lzss_decoder_finish(LzssDecoder* decoder);

}  // namespace quarrow
