#include "ZipCrc32.h"

#include <zlib.h>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define DAVERI_CRC_FOLDING 1
#endif

namespace {

quint32 tableCrc32(quint32 crc, const unsigned char* data, qint64 size)
{
    while (size > 0) {
        const uInt part = uInt(qMin<qint64>(size, 1 << 30));
        crc = quint32(crc32(crc, data, part));
        data += part;
        size -= part;
    }
    return crc;
}

#ifdef DAVERI_CRC_FOLDING

// Folds 64 bytes at a time into four 128-bit lanes, each lane multiplied by
// x^512 mod P and added to the next block; then the lanes into one, and
// 16-byte blocks into it, multiplying by x^128 mod P. The folded 16 bytes are
// congruent to everything before them modulo the CRC polynomial, so the
// CRC of the whole prefix is the CRC of those 16 bytes, taken with a zero
// register (0xffffffff in zlib's pre- and post-inverted convention). The
// constants are those powers of x, bit-reflected as the zip CRC is: for a
// distance of n bits, x^(n+32) and x^(n-32) mod P, reflected and shifted
// left by one.
#define DAVERI_CRC_TARGET __attribute__((target("pclmul,sse4.1")))

DAVERI_CRC_TARGET inline __m128i load(const unsigned char* at)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

// lane * x^n mod P (constants), added to the next block.
DAVERI_CRC_TARGET inline __m128i fold(__m128i lane, __m128i constants, __m128i next)
{
    const __m128i low = _mm_clmulepi64_si128(lane, constants, 0x00);
    const __m128i high = _mm_clmulepi64_si128(lane, constants, 0x11);
    return _mm_xor_si128(_mm_xor_si128(low, high), next);
}

// Folds four consecutive 16-byte lanes into one, then the 16-byte blocks
// left, and takes the CRC of the result and of the last bytes.
DAVERI_CRC_TARGET quint32 finish(__m128i x0, __m128i x1, __m128i x2, __m128i x3, const unsigned char* data,
                                 qint64 size)
{
    const __m128i fold128 = _mm_set_epi64x(0x00ccaa009e, 0x01751997d0);
    x0 = fold(x0, fold128, x1);
    x0 = fold(x0, fold128, x2);
    x0 = fold(x0, fold128, x3);
    while (size >= 16) {
        x0 = fold(x0, fold128, load(data));
        data += 16;
        size -= 16;
    }
    alignas(16) unsigned char folded[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(folded), x0);
    return tableCrc32(tableCrc32(0xffffffffu, folded, 16), data, size);
}

DAVERI_CRC_TARGET quint32 foldingCrc32(quint32 crc, const unsigned char* data, qint64 size)
{
    if (size < 64)
        return tableCrc32(crc, data, size);
    const __m128i fold512 = _mm_set_epi64x(0x01c6e41596, 0x0154442bd4);
    __m128i x0 = _mm_xor_si128(load(data), _mm_cvtsi32_si128(int(~crc)));
    __m128i x1 = load(data + 16);
    __m128i x2 = load(data + 32);
    __m128i x3 = load(data + 48);
    data += 64;
    size -= 64;
    while (size >= 64) {
        x0 = fold(x0, fold512, load(data));
        x1 = fold(x1, fold512, load(data + 16));
        x2 = fold(x2, fold512, load(data + 32));
        x3 = fold(x3, fold512, load(data + 48));
        data += 64;
        size -= 64;
    }
    return finish(x0, x1, x2, x3, data, size);
}

// The same over 512-bit registers, four lanes of 128 bits each, where the
// processor has the wide carry-less multiplication: four registers fold 256
// bytes at a time, then into one, whose lanes finish as above.
#define DAVERI_CRC_WIDE_TARGET __attribute__((target("vpclmulqdq,avx512f,pclmul,sse4.1")))

DAVERI_CRC_WIDE_TARGET inline __m512i foldWide(__m512i lanes, __m512i constants, __m512i next)
{
    const __m512i low = _mm512_clmulepi64_epi128(lanes, constants, 0x00);
    const __m512i high = _mm512_clmulepi64_epi128(lanes, constants, 0x11);
    return _mm512_ternarylogic_epi64(low, high, next, 0x96); // low ^ high ^ next
}

DAVERI_CRC_WIDE_TARGET quint32 wideFoldingCrc32(quint32 crc, const unsigned char* data, qint64 size)
{
    if (size < 256)
        return foldingCrc32(crc, data, size);
    const __m512i fold2048 = _mm512_set_epi64(0x01322d1430, 0x011542778a, 0x01322d1430, 0x011542778a,
                                              0x01322d1430, 0x011542778a, 0x01322d1430, 0x011542778a);
    const __m512i fold512 = _mm512_set_epi64(0x01c6e41596, 0x0154442bd4, 0x01c6e41596, 0x0154442bd4,
                                             0x01c6e41596, 0x0154442bd4, 0x01c6e41596, 0x0154442bd4);
    __m512i z0 = _mm512_xor_si512(_mm512_loadu_si512(data), _mm512_zextsi128_si512(_mm_cvtsi32_si128(int(~crc))));
    __m512i z1 = _mm512_loadu_si512(data + 64);
    __m512i z2 = _mm512_loadu_si512(data + 128);
    __m512i z3 = _mm512_loadu_si512(data + 192);
    data += 256;
    size -= 256;
    while (size >= 256) {
        z0 = foldWide(z0, fold2048, _mm512_loadu_si512(data));
        z1 = foldWide(z1, fold2048, _mm512_loadu_si512(data + 64));
        z2 = foldWide(z2, fold2048, _mm512_loadu_si512(data + 128));
        z3 = foldWide(z3, fold2048, _mm512_loadu_si512(data + 192));
        data += 256;
        size -= 256;
    }
    z1 = foldWide(z0, fold512, z1);
    z2 = foldWide(z1, fold512, z2);
    z3 = foldWide(z2, fold512, z3);
    while (size >= 64) {
        z3 = foldWide(z3, fold512, _mm512_loadu_si512(data));
        data += 64;
        size -= 64;
    }
    alignas(64) unsigned char lanes[64];
    _mm512_store_si512(lanes, z3);
    return finish(load(lanes), load(lanes + 16), load(lanes + 32), load(lanes + 48), data, size);
}

bool hasFolding()
{
    static const bool supported = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    return supported;
}

bool hasWideFolding()
{
    static const bool supported = hasFolding() && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("vpclmulqdq");
    return supported;
}

#endif

} // namespace

quint32 zipCrc32(quint32 crc, const char* data, qint64 size)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
#ifdef DAVERI_CRC_FOLDING
    if (hasWideFolding())
        return wideFoldingCrc32(crc, bytes, size);
    if (hasFolding())
        return foldingCrc32(crc, bytes, size);
#endif
    return tableCrc32(crc, bytes, size);
}
