// The canvas: its blend paths (scalar reference, SSE2, AVX2) and the lazy compositing of a
// frame's fills (see canvas.h).
//
// Every path evaluates d' = (d * (255 - a) + k) / 255 with k = s * a + 127 per channel. The
// numerator never exceeds 255 * 255 + 127 = 65152, so it fits an unsigned 16-bit lane, and the
// division is exact as (t * 0x8081) >> 23 for every t < 65536: t * 0x8081 / 2^23 differs from
// t / 255 by t / 255 * 127 / 2^23 < 0.004, less than the distance 1/255 from any fraction
// r / 255 (r <= 254) to the next integer.
#include "core/canvas.h"

#include <algorithm>
#include <cfenv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define LUMEN_CANVAS_X86 1
#include <immintrin.h>
#else
#define LUMEN_CANVAS_X86 0
#endif

namespace lumen {
namespace {

constexpr std::size_t kPixelCount = static_cast<std::size_t>(Canvas::kWidth) * Canvas::kHeight;
constexpr std::align_val_t kPixelAlignment{64};

inline uint32_t blendPixel(uint32_t d, const BlendColor& c) {
    const uint32_t inv = c.inverse;
    const uint32_t b = ((d & 0xFFu) * inv + c.k[0]) / 255u;
    const uint32_t g = (((d >> 8) & 0xFFu) * inv + c.k[1]) / 255u;
    const uint32_t r = (((d >> 16) & 0xFFu) * inv + c.k[2]) / 255u;
    const uint32_t a = ((d >> 24) * inv + c.k[3]) / 255u;
    return b | (g << 8) | (r << 16) | (a << 24);
}

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

void fillSpan(uint32_t* p, std::size_t n, uint32_t value, SimdPath path) {
#if LUMEN_CANVAS_X86
    if (path == SimdPath::Avx2) return fillAvx2(p, n, value);
    if (path == SimdPath::Sse2) return fillSse2(p, n, value);
#endif
    (void)path;
    fillScalar(p, n, value);
}

// Round-to-nearest for the scope whatever the caller's mode, which is restored at the end.
class NearestRounding {
public:
    NearestRounding() : mode_(std::fegetround()) {
        if (mode_ != FE_TONEAREST) std::fesetround(FE_TONEAREST);
    }
    ~NearestRounding() {
        if (mode_ != FE_TONEAREST) std::fesetround(mode_);
    }
    NearestRounding(const NearestRounding&) = delete;
    NearestRounding& operator=(const NearestRounding&) = delete;

private:
    int mode_;
};

// Channel value c (any double) -> round(clamp(c, 0, 1) * 255); NaN -> 0.
unsigned channelByte(double c) {
    if (!(c > 0.0)) return 0;  // also NaN
    if (c >= 1.0) return 255;
    return static_cast<unsigned>(std::round(c * 255.0));
}

SimdPath readDefaultPath() {
    SimdPath best = SimdPath::Scalar;
    for (SimdPath p : {SimdPath::Sse2, SimdPath::Avx2})
        if (simdPathSupported(p)) best = p;
    const char* env = std::getenv("LUMEN_SIMD");
    if (env == nullptr || *env == '\0') return best;
    for (SimdPath p : {SimdPath::Scalar, SimdPath::Sse2, SimdPath::Avx2}) {
        if (std::strcmp(env, simdPathName(p)) == 0) {
            if (simdPathSupported(p)) return p;
            std::fprintf(stderr, "Lumen: LUMEN_SIMD=%s is not supported here, using %s\n", env,
                         simdPathName(best));
            return best;
        }
    }
    std::fprintf(stderr, "Lumen: LUMEN_SIMD=%s is not scalar, sse2 or avx2, using %s\n", env,
                 simdPathName(best));
    return best;
}

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

SimdPath defaultSimdPath() {
    static const SimdPath path = readDefaultPath();
    return path;
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

PixelSpan coveredSpan(double origin, double size, int limit) {
    // Pixel i is covered iff origin <= i + 0.5 < end, end = origin + size rounded to nearest
    // (as the drawing code computes it in Lumen's own mode; set here whatever the caller's mode
    // is), i.e. ceil(origin - 0.5) <= i < ceil(end - 0.5). Subtracting 0.5 is exact wherever
    // the result can land inside [0, limit], and rounding is monotonic elsewhere, so neither
    // bound depends on the rounding mode. Clamping happens in double, before any conversion to
    // int; no NaN is ever produced (so no invalid-operation is raised).
    if (!(size > 0.0) || std::isnan(origin)) return {0, 0};
    if (std::isinf(origin) && std::isinf(size) && origin < 0.0) return {0, 0};  // -inf + inf
    const NearestRounding nearest;
    const double end = origin + size;
    const double top = static_cast<double>(limit);
    const double first = std::clamp(std::ceil(origin - 0.5), 0.0, top);
    const double last = std::clamp(std::ceil(end - 0.5), 0.0, top);
    if (!(last > first)) return {0, 0};
    return {static_cast<int>(first), static_cast<int>(last)};
}

Canvas::Canvas(SimdPath path, bool deferred)
    : pixels_(static_cast<uint32_t*>(::operator new(kPixelCount * sizeof(uint32_t), kPixelAlignment))),
      path_(SimdPath::Scalar),
      deferred_(deferred) {
    setSimdPath(path);
    clear();
}

Canvas::~Canvas() { ::operator delete(pixels_, kPixelAlignment); }

SimdPath Canvas::setSimdPath(SimdPath path) {
    int p = std::clamp(static_cast<int>(path), 0, static_cast<int>(SimdPath::Avx2));
    while (p > 0 && !simdPathSupported(static_cast<SimdPath>(p))) --p;
    path_ = static_cast<SimdPath>(p);
    return path_;
}

void Canvas::setDeferred(bool on) {
    composite();
    deferred_ = on;
}

const uint32_t* Canvas::pixels() const {
    composite();
    return pixels_;
}

uint32_t* Canvas::pixels() {
    composite();
    return pixels_;
}

void Canvas::clear() {
    pendingCount_ = 0;
    if (deferred_) {
        stale_ = true;
    } else {
        stale_ = false;
        fillSpan(pixels_, kPixelCount, kBackground, path_);
    }
}

void Canvas::fillRect(double x, double y, double w, double h,
                      double r, double g, double b, double alpha) {
    if (std::isnan(alpha)) return;
    const NearestRounding nearest;  // c * 255 rounds as in Lumen's own mode
    const PixelSpan cols = coveredSpan(x, w, kWidth);
    if (cols.first == cols.last) return;
    const PixelSpan rows = coveredSpan(y, h, kHeight);
    if (rows.first == rows.last) return;
    const unsigned a = channelByte(alpha);
    if (a == 0) return;  // d' = (255 d + 127) / 255 = d
    const Pending rect{cols.first, cols.last, rows.first, rows.last,
                       makeBlendColor(channelByte(r), channelByte(g), channelByte(b), a)};
    if (stale_ && pendingCount_ < kMaxPending) {
        pending_[pendingCount_++] = rect;
        return;
    }
    composite();
    blendNow(rect);
}

void Canvas::blendNow(const Pending& rect) {
    const std::size_t width = static_cast<std::size_t>(rect.x1 - rect.x0);
    const int height = rect.y1 - rect.y0;
    uint32_t* row = pixels_ + static_cast<std::size_t>(rect.y0) * kWidth + rect.x0;
    if (rect.color.alpha == 255) {  // d' = (255 s + 127) / 255 = s
        for (int y = 0; y < height; ++y, row += kWidth) fillSpan(row, width, rect.color.solid, path_);
        return;
    }
#if LUMEN_CANVAS_X86
    if (path_ == SimdPath::Avx2) return blendRectAvx2(row, kWidth, width, height, rect.color);
    if (path_ == SimdPath::Sse2) return blendRectSse2(row, kWidth, width, height, rect.color);
#endif
    for (int y = 0; y < height; ++y, row += kWidth) blendScalar(row, width, rect.color);
}

void Canvas::composite() const {
    if (!stale_) return;
    stale_ = false;
    const int n = pendingCount_;
    pendingCount_ = 0;

    // Row bands: between consecutive distinct top/bottom edges the same rectangles cover a row.
    int ys[2 * kMaxPending + 2];
    int ny = 0;
    ys[ny++] = 0;
    ys[ny++] = kHeight;
    for (int i = 0; i < n; ++i) {
        ys[ny++] = pending_[i].y0;
        ys[ny++] = pending_[i].y1;
    }
    std::sort(ys, ys + ny);
    ny = static_cast<int>(std::unique(ys, ys + ny) - ys);

    int active[kMaxPending];
    int xs[2 * kMaxPending + 2];
    uint32_t colors[2 * kMaxPending + 1];
    for (int band = 0; band + 1 < ny; ++band) {
        const int top = ys[band], bottom = ys[band + 1];
        uint32_t* first = pixels_ + static_cast<std::size_t>(top) * kWidth;
        int na = 0;
        for (int i = 0; i < n; ++i)
            if (pending_[i].y0 <= top && top < pending_[i].y1) active[na++] = i;
        if (na == 0) {
            fillSpan(first, static_cast<std::size_t>(bottom - top) * kWidth, kBackground, path_);
            continue;
        }
        // Column runs of the band's first row; each run's colour is the background with the
        // rectangles covering it blended over in drawing order.
        int nx = 0;
        xs[nx++] = 0;
        xs[nx++] = kWidth;
        for (int j = 0; j < na; ++j) {
            xs[nx++] = pending_[active[j]].x0;
            xs[nx++] = pending_[active[j]].x1;
        }
        std::sort(xs, xs + nx);
        nx = static_cast<int>(std::unique(xs, xs + nx) - xs);
        for (int run = 0; run + 1 < nx; ++run) {
            const int left = xs[run];
            uint32_t color = kBackground;
            for (int j = 0; j < na; ++j) {
                const Pending& p = pending_[active[j]];
                if (p.x0 <= left && left < p.x1) color = blendPixel(color, p.color);
            }
            colors[run] = color;
        }
        const int runs = nx - 1;
        if (runs == 1) {
            fillSpan(first, static_cast<std::size_t>(bottom - top) * kWidth, colors[0], path_);
            continue;
        }
        for (int run = 0; run < runs; ++run)
            fillSpan(first + xs[run], static_cast<std::size_t>(xs[run + 1] - xs[run]), colors[run],
                     path_);
        for (int y = top + 1; y < bottom; ++y)
            std::memcpy(pixels_ + static_cast<std::size_t>(y) * kWidth, first,
                        sizeof(uint32_t) * kWidth);
    }
}

}  // namespace lumen
