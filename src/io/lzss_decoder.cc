#include "io/lzss_decoder.h"

#include <cstdlib>
#include <cstring>

namespace quarrow {

namespace {

// Marks "no bits available"; every real result fits in 15 bits.
constexpr uint16_t kNoBits = 0xFFFF;

// Takes count bits (at most 15), most significant first. Takes nothing when
// the input runs out before all of them could be read.
uint16_t get_bits(LzssDecoder* d, uint8_t count) {
  if (count == 0 || count > 15) return kNoBits;
  if (d->input_size == 0 && d->bit_index < (1u << (count - 1))) return kNoBits;
  uint16_t accumulator = 0;
  for (uint8_t i = 0; i < count; ++i) {
    if (d->bit_index == 0) {
      if (d->input_size == 0) return kNoBits;
      d->current_byte = d->input_buffer()[d->input_index++];
      if (d->input_index == d->input_size) d->input_index = d->input_size = 0;
      d->bit_index = 0x80;
    }
    accumulator = static_cast<uint16_t>(accumulator << 1);
    if (d->current_byte & d->bit_index) accumulator |= 1;
    d->bit_index >>= 1;
  }
  return accumulator;
}

struct Output {
  uint8_t* buffer;
  size_t size;
  size_t* produced;

  size_t room() const { return size - *produced; }
  void push(uint8_t byte) { buffer[(*produced)++] = byte; }
};

void emit(LzssDecoder* d, Output* out, uint8_t byte) {
  d->window()[d->head_index & ((1u << d->window_sz2) - 1)] = byte;
  ++d->head_index;
  out->push(byte);
}

uint8_t state_tag_bit(LzssDecoder* d) {
  uint16_t bit = get_bits(d, 1);
  if (bit == kNoBits) return DECODER_TAG_BIT;
  if (bit) return DECODER_YIELD_LITERAL;
  if (d->window_sz2 > 8) return DECODER_BACKREF_INDEX_MSB;
  d->output_index = 0;
  return DECODER_BACKREF_INDEX_LSB;
}

uint8_t state_yield_literal(LzssDecoder* d, Output* out) {
  if (out->room() == 0) return DECODER_YIELD_LITERAL;
  uint16_t byte = get_bits(d, 8);
  if (byte == kNoBits) return DECODER_YIELD_LITERAL;
  emit(d, out, static_cast<uint8_t>(byte));
  return DECODER_TAG_BIT;
}

// A back-reference field wider than 8 bits arrives in two pieces, first its
// upper width - 8 bits, then the lower 8; both store distance or length - 1.
bool read_upper_bits(LzssDecoder* d, uint8_t width, uint16_t* field) {
  uint16_t bits = get_bits(d, static_cast<uint8_t>(width - 8));
  if (bits == kNoBits) return false;
  *field = static_cast<uint16_t>(bits << 8);
  return true;
}

bool read_lower_bits(LzssDecoder* d, uint8_t width, uint16_t* field) {
  uint16_t bits = get_bits(d, width < 8 ? width : 8);
  if (bits == kNoBits) return false;
  *field = static_cast<uint16_t>((*field | bits) + 1);
  return true;
}

uint8_t state_index_lsb(LzssDecoder* d) {
  if (!read_lower_bits(d, d->window_sz2, &d->output_index)) return DECODER_BACKREF_INDEX_LSB;
  d->output_count = 0;
  return d->lookahead_sz2 > 8 ? DECODER_BACKREF_COUNT_MSB : DECODER_BACKREF_COUNT_LSB;
}

uint8_t state_yield_backref(LzssDecoder* d, Output* out) {
  size_t room = out->room();
  if (room == 0) return DECODER_YIELD_BACKREF;
  size_t n = d->output_count < room ? d->output_count : room;
  uint16_t mask = static_cast<uint16_t>((1u << d->window_sz2) - 1);
  uint8_t* window = d->window();
  // The source may be a byte this very copy produced (distance < length),
  // so the copy goes one byte at a time through the window.
  for (size_t i = 0; i < n; ++i) {
    uint8_t byte = window[static_cast<uint16_t>(d->head_index - d->output_index) & mask];
    window[d->head_index & mask] = byte;
    ++d->head_index;
    out->push(byte);
  }
  d->output_count = static_cast<uint16_t>(d->output_count - n);
  return d->output_count == 0 ? DECODER_TAG_BIT : DECODER_YIELD_BACKREF;
}

// Decodes whole items while the buffered input surely holds the longest one
// (1 + 15 + 14 bits) without reaching its end, and the output has room,
// taking bits from a local register instead of one call per bit. Leaves the
// decoder exactly as the bitwise states would: unused whole bytes go back to
// the input buffer, and a back-reference cut short by the output's end is
// left to the yield state.
void decode_fast(LzssDecoder* d, Output* out) {
  const uint8_t* in = d->input_buffer();
  const uint32_t size = d->input_size;
  const uint32_t first = d->input_index;
  uint32_t index = first;
  uint64_t bits = 0;
  uint32_t count = 0;  // unread bits, the low ones of the register
  if (d->bit_index) {
    count = static_cast<uint32_t>(__builtin_ctz(d->bit_index)) + 1;
    bits = d->current_byte & ((d->bit_index << 1) - 1u);
  }
  const uint32_t w = d->window_sz2;
  const uint32_t l = d->lookahead_sz2;
  const uint16_t mask = static_cast<uint16_t>((1u << w) - 1);
  uint8_t* window = d->window();
  // The window is brought up to date once at the end: until then a byte
  // this call wrote is read from the output, an older one from the window.
  uint8_t* const o_start = out->buffer + *out->produced;
  uint8_t* o = o_start;
  uint8_t* const o_end = out->buffer + out->size;
  auto take = [&](uint32_t n) {
    count -= n;
    return static_cast<uint32_t>(bits >> count) & ((1u << n) - 1);
  };
  while (o < o_end && size - (index - count / 8) >= 5) {
    if (count <= 56) {
      if (size - index >= 8 && count > 0) {
        // Whole bytes up to a full register in one load.
        uint64_t word;
        std::memcpy(&word, in + index, sizeof(word));
        word = __builtin_bswap64(word);
        uint32_t k = (64 - count) / 8;
        bits = (bits << (8 * k)) | (word >> (64 - 8 * k));
        index += k;
        count += 8 * k;
      } else {
        while (count <= 56 && index < size) {
          bits = (bits << 8) | in[index++];
          count += 8;
        }
      }
    }
    // Literals while whole ones are in the register: a set tag bit and its
    // byte, nine bits taken at once.
    while (count >= 9 && o < o_end) {
      auto item = static_cast<uint32_t>(bits >> (count - 9)) & 0x1FF;
      if (!(item & 0x100)) break;
      count -= 9;
      *o++ = static_cast<uint8_t>(item);
    }
    // A back-reference only when all of it is in the register; its tag is
    // only known with nine bits at hand.
    if (o == o_end || count < 9 || count < 1 + w + l) continue;
    count -= 1;
    auto distance = static_cast<uint16_t>(take(w) + 1);
    auto length = static_cast<uint16_t>(take(l) + 1);
    d->output_index = distance;
    auto room = static_cast<size_t>(o_end - o);
    uint16_t n = length < room ? length : static_cast<uint16_t>(room);
    uint16_t i = 0;
    // Bytes from before this call come from the window.
    auto written = static_cast<size_t>(o - o_start);
    if (distance > written) {
      auto head = static_cast<uint16_t>(d->head_index + written);
      uint16_t old = static_cast<uint16_t>(distance - written);
      for (; i < n && i < old; ++i) {
        *o++ = window[static_cast<uint16_t>(head + i - distance) & mask];
      }
    }
    // Eight bytes at a time where the source lies at least that far back
    // and the output has room for the last chunk's overshoot, which later
    // bytes overwrite; else byte by byte, as the source may be a byte this
    // very copy produces.
    if (distance >= 8 && static_cast<size_t>(o_end - o) >= size_t{n} - i + 8) {
      for (; i < n; i += 8, o += 8) std::memcpy(o, o - distance, 8);
      o -= i - n;
      i = n;
    }
    for (; i < n; ++i, ++o) *o = *(o - distance);
    if (n < length) {
      d->output_count = static_cast<uint16_t>(length - n);
      d->state = DECODER_YIELD_BACKREF;
      break;
    }
    d->output_count = 0;
  }
  // The last window's worth of output into the window, where the bitwise
  // states would have put it byte by byte.
  auto produced = static_cast<size_t>(o - o_start);
  size_t keep = produced < mask + size_t{1} ? produced : mask + size_t{1};
  auto head = static_cast<uint16_t>(d->head_index + produced - keep);
  for (size_t k = 0; k < keep; ++k) window[static_cast<uint16_t>(head + k) & mask] = (o - keep)[k];
  d->head_index = static_cast<uint16_t>(d->head_index + produced);
  index -= count / 8;
  count %= 8;
  if (index > first) d->current_byte = in[index - 1];
  d->bit_index = count ? static_cast<uint8_t>(1u << (count - 1)) : 0;
  // Input taken to its last byte is emptied, as the bitwise states do when
  // they take that byte, so that the next bytes are sunk from its start.
  if (index == size) index = d->input_size = 0;
  d->input_index = static_cast<uint16_t>(index);
  *out->produced = static_cast<size_t>(o - out->buffer);
}

}  // namespace

bool lzss_decoder_params_valid(uint8_t window_sz2, uint8_t lookahead_sz2) {
  return window_sz2 >= 4 && window_sz2 <= 15 && lookahead_sz2 >= 3 && lookahead_sz2 < window_sz2;
}

LzssDecoder* lzss_decoder_alloc(size_t input_buffer_size, uint8_t window_sz2,
                                uint8_t lookahead_sz2) {
  if (!lzss_decoder_params_valid(window_sz2, lookahead_sz2)) return nullptr;
  if (input_buffer_size == 0 || input_buffer_size > UINT16_MAX) return nullptr;
  size_t bytes = sizeof(LzssDecoder) + input_buffer_size + (size_t{1} << window_sz2);
  auto* d = static_cast<LzssDecoder*>(std::calloc(1, bytes));
  if (!d) return nullptr;
  d->state = DECODER_TAG_BIT;
  d->window_sz2 = window_sz2;
  d->lookahead_sz2 = lookahead_sz2;
  d->input_buffer_size = static_cast<uint16_t>(input_buffer_size);
  return d;
}

void lzss_decoder_free(LzssDecoder* decoder) {
  std::free(decoder);
}

LzssSinkResult lzss_decoder_sink(LzssDecoder* decoder, const uint8_t* bytes, size_t size,
                                 size_t* taken) {
  if (!decoder || !taken || (!bytes && size > 0)) return SINK_ERROR_NULL;
  size_t room = decoder->input_buffer_size - decoder->input_size;
  if (room == 0) {
    *taken = 0;
    return SINK_FULL;
  }
  size_t n = size < room ? size : room;
  if (n > 0) std::memcpy(decoder->input_buffer() + decoder->input_size, bytes, n);
  decoder->input_size = static_cast<uint16_t>(decoder->input_size + n);
  *taken = n;
  return SINK_OK;
}

LzssPollResult lzss_decoder_poll(LzssDecoder* decoder, uint8_t* output, size_t output_size,
                                 size_t* produced) {
  if (!decoder || !produced || (!output && output_size > 0)) return POLL_ERROR_NULL;
  *produced = 0;
  Output out{output, output_size, produced};
  for (;;) {
    if (decoder->state == DECODER_TAG_BIT) decode_fast(decoder, &out);
    uint8_t before = decoder->state;
    switch (before) {
      case DECODER_TAG_BIT:
        decoder->state = state_tag_bit(decoder);
        break;
      case DECODER_YIELD_LITERAL:
        decoder->state = state_yield_literal(decoder, &out);
        break;
      case DECODER_BACKREF_INDEX_MSB:
        if (read_upper_bits(decoder, decoder->window_sz2, &decoder->output_index))
          decoder->state = DECODER_BACKREF_INDEX_LSB;
        break;
      case DECODER_BACKREF_INDEX_LSB:
        decoder->state = state_index_lsb(decoder);
        break;
      case DECODER_BACKREF_COUNT_MSB:
        if (read_upper_bits(decoder, decoder->lookahead_sz2, &decoder->output_count))
          decoder->state = DECODER_BACKREF_COUNT_LSB;
        break;
      case DECODER_BACKREF_COUNT_LSB:
        if (read_lower_bits(decoder, decoder->lookahead_sz2, &decoder->output_count))
          decoder->state = DECODER_YIELD_BACKREF;
        break;
      case DECODER_YIELD_BACKREF:
        decoder->state = state_yield_backref(decoder, &out);
        break;
      default:
        return POLL_ERROR_UNKNOWN;
    }
    if (decoder->state == before) return out.room() == 0 ? POLL_MORE : POLL_EMPTY;
  }
}

LzssFinishResult lzss_decoder_finish(LzssDecoder* decoder) {
  if (!decoder) return FINISH_ERROR_NULL;
  if (decoder->state == DECODER_YIELD_BACKREF) return FINISH_MORE;
  return decoder->input_size == 0 ? FINISH_DONE : FINISH_MORE;
}

}  // namespace quarrow
