// The inflate API the reader is built on: zlib-ng's native `zng_` API when
// the vendored zlib-ng is built (LS_ZLIB_NG; about twice zlib's inflate
// speed, the same messages), else the system's zlib. Only members.cc
// includes this.
#pragma once

#if defined(LS_ZLIB_NG)
#include <zlib-ng.h>
namespace ls::reader::zapi {
using Stream = zng_stream;
using InByte = const uint8_t;
inline int inflate_init2(Stream* s, int bits) { return zng_inflateInit2(s, bits); }
inline int inflate(Stream* s, int flush) { return zng_inflate(s, flush); }
inline int inflate_reset(Stream* s) { return zng_inflateReset(s); }
inline int inflate_end(Stream* s) { return zng_inflateEnd(s); }
using Count = uint32_t;
}  // namespace ls::reader::zapi
#else
#include <zlib.h>
namespace ls::reader::zapi {
using Stream = z_stream;
using InByte = Bytef;
inline int inflate_init2(Stream* s, int bits) { return inflateInit2(s, bits); }
inline int inflate(Stream* s, int flush) { return ::inflate(s, flush); }
inline int inflate_reset(Stream* s) { return inflateReset(s); }
inline int inflate_end(Stream* s) { return inflateEnd(s); }
using Count = uInt;
}  // namespace ls::reader::zapi
#endif
