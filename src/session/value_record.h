// Value records: the wire form of a VarValue inside payloads.
//
//   type 1 (long)   : L (0..4), then L bytes, the low bytes of an int32
//   type 2 (double) : L (0..8), then L bytes, the low bytes of a binary64
//   type 4 (string) : L, then L bytes of text including its zero byte
//   any other type  : nothing more; decodes as VAL_NONE
//
// A keyed value record is a uint32 Key followed by a value record.
//
// Decoding never reads past the end it is given and never copies more than
// the value holds. A length byte larger than its type's width (4, 8, or 64
// for text) is accepted: the record still occupies its L bytes, so the next
// record is found where the sender put it, but only the low 4 or 8 bytes of a
// number are used and a text is cut at 63 characters. A record whose bytes
// run past the end fails to decode, and the caller treats the rest of the
// payload as unusable.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tarvik/tarvik.h"

namespace tarvik {

// Decodes the value record at data[*pos .. size) into *out (emptied first; a
// text gets a new block). Moves *pos behind the record. false when the record
// runs past size or a text block cannot be allocated; *out is then VAL_NONE and
// *pos unchanged.
bool DecodeValueRecord(const uint8_t* data, size_t size, size_t* pos, VarValue* out);
// A uint32 key and then a value record.
bool DecodeKeyedValueRecord(const uint8_t* data, size_t size, size_t* pos, uint32_t* key,
                            VarValue* out);

// Longest value record the encoder writes: type, length and a 64-byte text.
constexpr size_t kMaxValueRecord = 2 + 64;

// Encodes v as the library does (L = 4, 8, or text length + 1 with the text cut
// at 63 characters; any other tag as a lone type byte 0) into out, which holds
// at least kMaxValueRecord bytes. Returns the bytes written.
size_t EncodeValueRecord(const VarValue& v, uint8_t* out);
// Same for a given tag (the field's value type) and raw parts, used by writers
// that convert first: a long, a double, or a text of `textLength` bytes.
size_t EncodeLongRecord(int32_t value, uint8_t* out);
size_t EncodeDoubleRecord(double value, uint8_t* out);
size_t EncodeTextRecord(const char* text, size_t textLength, uint8_t* out);

}  // namespace tarvik
