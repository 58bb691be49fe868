// The blend kernels of the canvas (see blend.h): a scalar reference, SSE2 and AVX2.
//
// Every path evaluates d' = (d * (255 - a) + k) / 255 with k = s * a + 127 per channel. The
// numerator never exceeds 255 * 255 + 127 = 65152, so it fits an unsigned 16-bit lane, and the
// division is exact as (t * 0x8081) >> 23 for every t < 65536: t * 0x8081 / 2^23 differs from
// t / 255 by t / 255 * 127 / 2^23 < 0.004, less than the distance 1/255 from any fraction
// r / 255 (r <= 254) to the next integer.
#include "pixels/blend.h"

#include <algorithm>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define LUMEN_CANVAS_X86 1
#include <immintrin.h>
#else
#define LUMEN_CANVAS_X86 0
#endif

namespace lumen {
namespace {

void blendScalar(uint32_t* p, std::size_t n, const BlendColor& c) {
    for (std::size_t i = 0; i < n; ++i) p[i] = blendPixel(p[i], c);
}

void fillScalar(uint32_t* p, std::size_t n, uint32_t value) {
    for (std::size_t i = 0; i < n; ++i) p[i] = value;
}

#if LUMEN_CANVAS_X86

// Four pixels: widen to 16-bit lanes, d * inv + k, exact / 255, narrow.
inline __m128i blend4(__m128i d, __m128i inv, __m128i k, __m128i magic) {
    const __m128i zero = _mm_setzero_si128();
    __m128i lo = _mm_unpacklo_epi8(d, zero);
    __m128i hi = _mm_unpackhi_epi8(d, zero);
    lo = _mm_add_epi16(_mm_mullo_epi16(lo, inv), k);
    hi = _mm_add_epi16(_mm_mullo_epi16(hi, inv), k);
    lo = _mm_srli_epi16(_mm_mulhi_epu16(lo, magic), 7);
    hi = _mm_srli_epi16(_mm_mulhi_epu16(hi, magic), 7);
    return _mm_packus_epi16(lo, hi);
}

inline __m128i blendKey128(const BlendColor& c) {
    return _mm_set_epi16(static_cast<short>(c.k[3]), static_cast<short>(c.k[2]),
                         static_cast<short>(c.k[1]), static_cast<short>(c.k[0]),
                         static_cast<short>(c.k[3]), static_cast<short>(c.k[2]),
                         static_cast<short>(c.k[1]), static_cast<short>(c.k[0]));
}

struct Sse2Key {
    __m128i inv, k, magic;
};

inline Sse2Key sse2Key(const BlendColor& c) {
    return {_mm_set1_epi16(static_cast<short>(c.inverse)), blendKey128(c),
            _mm_set1_epi16(static_cast<short>(0x8081))};
}

// One pixel through the vector formula (the ends of a row).
inline void blend1Sse2(uint32_t* p, const Sse2Key& key) {
    const __m128i d = _mm_cvtsi32_si128(static_cast<int>(*p));
    *p = static_cast<uint32_t>(_mm_cvtsi128_si32(blend4(d, key.inv, key.k, key.magic)));
}

inline void blendRowSse2(uint32_t* p, std::size_t n, const Sse2Key& key) {
    while (n > 0 && (reinterpret_cast<uintptr_t>(p) & 15u) != 0) {
        blend1Sse2(p, key);
        ++p;
        --n;
    }
    for (; n >= 8; n -= 8, p += 8) {
        __m128i* q = reinterpret_cast<__m128i*>(p);
        const __m128i d0 = _mm_load_si128(q);
        const __m128i d1 = _mm_load_si128(q + 1);
        _mm_store_si128(q, blend4(d0, key.inv, key.k, key.magic));
        _mm_store_si128(q + 1, blend4(d1, key.inv, key.k, key.magic));
    }
    if (n >= 4) {
        __m128i* q = reinterpret_cast<__m128i*>(p);
        _mm_store_si128(q, blend4(_mm_load_si128(q), key.inv, key.k, key.magic));
        n -= 4;
        p += 4;
    }
    for (; n > 0; --n, ++p) blend1Sse2(p, key);
}

void blendSse2(uint32_t* p, std::size_t n, const BlendColor& c) { blendRowSse2(p, n, sse2Key(c)); }

void blendRectSse2(uint32_t* p, std::size_t stride, std::size_t w, int h, const BlendColor& c) {
    const Sse2Key key = sse2Key(c);
    for (int y = 0; y < h; ++y, p += stride) blendRowSse2(p, w, key);
}

void fillSse2(uint32_t* p, std::size_t n, uint32_t value) {
    while (n > 0 && (reinterpret_cast<uintptr_t>(p) & 15u) != 0) {
        *p++ = value;
        --n;
    }
    const __m128i v = _mm_set1_epi32(static_cast<int>(value));
    for (; n >= 4; n -= 4, p += 4) _mm_store_si128(reinterpret_cast<__m128i*>(p), v);
    for (; n > 0; --n) *p++ = value;
}

__attribute__((target("avx2"))) inline __m256i blend8(__m256i d, __m256i inv, __m256i k,
                                                      __m256i magic) {
    const __m256i zero = _mm256_setzero_si256();
    __m256i lo = _mm256_unpacklo_epi8(d, zero);
    __m256i hi = _mm256_unpackhi_epi8(d, zero);
    lo = _mm256_add_epi16(_mm256_mullo_epi16(lo, inv), k);
    hi = _mm256_add_epi16(_mm256_mullo_epi16(hi, inv), k);
    lo = _mm256_srli_epi16(_mm256_mulhi_epu16(lo, magic), 7);
    hi = _mm256_srli_epi16(_mm256_mulhi_epu16(hi, magic), 7);
    return _mm256_packus_epi16(lo, hi);
}

// Lanes [0, count) of eight, count in [0, 8].
__attribute__((target("avx2"))) inline __m256i laneMask(std::size_t count) {
    return _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(count)),
                              _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
}

// The first `count` (< 8) pixels at p with masked loads and stores: nothing outside is touched.
__attribute__((target("avx2"))) inline void blendPartial8(uint32_t* p, std::size_t count,
                                                          __m256i inv, __m256i k, __m256i magic) {
    int* q = reinterpret_cast<int*>(p);
    const __m256i mask = laneMask(count);
    _mm256_maskstore_epi32(q, mask, blend8(_mm256_maskload_epi32(q, mask), inv, k, magic));
}

struct Avx2Key {
    __m256i inv, k, magic;
};

__attribute__((target("avx2"))) inline Avx2Key avx2Key(const BlendColor& c) {
    return {_mm256_set1_epi16(static_cast<short>(c.inverse)),
            _mm256_broadcastsi128_si256(blendKey128(c)),
            _mm256_set1_epi16(static_cast<short>(0x8081))};
}

__attribute__((target("avx2"))) inline void blendRowAvx2(uint32_t* p, std::size_t n,
                                                         const Avx2Key& key) {
    const std::size_t misalign = (reinterpret_cast<uintptr_t>(p) & 31u) / 4;
    if (misalign != 0) {
        const std::size_t head = std::min<std::size_t>(n, 8 - misalign);
        blendPartial8(p, head, key.inv, key.k, key.magic);
        p += head;
        n -= head;
    }
    for (; n >= 16; n -= 16, p += 16) {
        __m256i* q = reinterpret_cast<__m256i*>(p);
        const __m256i d0 = _mm256_load_si256(q);
        const __m256i d1 = _mm256_load_si256(q + 1);
        _mm256_store_si256(q, blend8(d0, key.inv, key.k, key.magic));
        _mm256_store_si256(q + 1, blend8(d1, key.inv, key.k, key.magic));
    }
    if (n >= 8) {
        __m256i* q = reinterpret_cast<__m256i*>(p);
        _mm256_store_si256(q, blend8(_mm256_load_si256(q), key.inv, key.k, key.magic));
        n -= 8;
        p += 8;
    }
    if (n > 0) blendPartial8(p, n, key.inv, key.k, key.magic);
}

__attribute__((target("avx2"))) void blendAvx2(uint32_t* p, std::size_t n, const BlendColor& c) {
    blendRowAvx2(p, n, avx2Key(c));
}

__attribute__((target("avx2"))) void blendRectAvx2(uint32_t* p, std::size_t stride, std::size_t w,
                                                   int h, const BlendColor& c) {
    const Avx2Key key = avx2Key(c);
    for (int y = 0; y < h; ++y, p += stride) blendRowAvx2(p, w, key);
}

__attribute__((target("avx2"))) void fillAvx2(uint32_t* p, std::size_t n, uint32_t value) {
    while (n > 0 && (reinterpret_cast<uintptr_t>(p) & 31u) != 0) {
        *p++ = value;
        --n;
    }
    const __m256i v = _mm256_set1_epi32(static_cast<int>(value));
    for (; n >= 8; n -= 8, p += 8) _mm256_store_si256(reinterpret_cast<__m256i*>(p), v);
    for (; n > 0; --n) *p++ = value;
}

bool cpuHasAvx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
}

#endif  // LUMEN_CANVAS_X86

}  // namespace

bool simdPathSupported(SimdPath path) {
    switch (path) {
    case SimdPath::Scalar:
        return true;
#if LUMEN_CANVAS_X86
    case SimdPath::Sse2:
        return true;
    case SimdPath::Avx2: {
        static const bool avx2 = cpuHasAvx2();
        return avx2;
    }
#endif
    default:
        return false;
    }
}

const char* simdPathName(SimdPath path) {
    switch (path) {
    case SimdPath::Scalar: return "scalar";
    case SimdPath::Sse2: return "sse2";
    case SimdPath::Avx2: return "avx2";
    }
    return "unknown";
}

SimdPath widestSimdPath() {
    SimdPath best = SimdPath::Scalar;
    for (SimdPath p : {SimdPath::Sse2, SimdPath::Avx2})
        if (simdPathSupported(p)) best = p;
    return best;
}

BlendColor makeBlendColor(unsigned r, unsigned g, unsigned b, unsigned a) {
    BlendColor c{};
    c.solid = 0xFF000000u | (r << 16) | (g << 8) | b;
    c.k[0] = static_cast<uint16_t>(b * a + 127u);
    c.k[1] = static_cast<uint16_t>(g * a + 127u);
    c.k[2] = static_cast<uint16_t>(r * a + 127u);
    c.k[3] = static_cast<uint16_t>(255u * a + 127u);
    c.inverse = static_cast<uint16_t>(255u - a);
    c.alpha = static_cast<uint16_t>(a);
    return c;
}

void blendSpan(uint32_t* row, std::size_t count, const BlendColor& color, SimdPath path) {
#if LUMEN_CANVAS_X86
    if (path == SimdPath::Avx2 && simdPathSupported(SimdPath::Avx2))
        return blendAvx2(row, count, color);
    if (path == SimdPath::Sse2) return blendSse2(row, count, color);
#endif
    (void)path;
    blendScalar(row, count, color);
}

void fillSpan(uint32_t* p, std::size_t n, uint32_t value, SimdPath path) {
#if LUMEN_CANVAS_X86
    if (path == SimdPath::Avx2) return fillAvx2(p, n, value);
    if (path == SimdPath::Sse2) return fillSse2(p, n, value);
#endif
    (void)path;
    fillScalar(p, n, value);
}

void blendRect(uint32_t* row, std::size_t stride, std::size_t width, int height,
               const BlendColor& color, SimdPath path) {
#if LUMEN_CANVAS_X86
    if (path == SimdPath::Avx2) return blendRectAvx2(row, stride, width, height, color);
    if (path == SimdPath::Sse2) return blendRectSse2(row, stride, width, height, color);
#endif
    (void)path;
    for (int y = 0; y < height; ++y, row += stride) blendScalar(row, width, color);
}

}  // namespace lumen
