#include "upload/Crc64.h"

#include <array>
#include <bit>
#include <cstring>

#include "base/Base64.h"

#if defined(__x86_64__) || defined(__i386__)
#define KAVO_CRC64_CLMUL 1
#include <immintrin.h>
#endif

namespace kavo {
namespace {

constexpr std::uint64_t kReflectedPolynomial = 0x9A6C9329AC4BC9B5ULL;
constexpr std::uint64_t kNormalPolynomial = 0xAD93D23594C93659ULL;

using Tables = std::array<std::array<std::uint64_t, 256>, 16>;

// Table k advances a byte through k further zero bytes, so sixteen lookups consume
// sixteen bytes at once.
const Tables& tables() {
    static const Tables built = [] {
        Tables t{};
        for (std::uint64_t i = 0; i < 256; ++i) {
            std::uint64_t crc = i;
            for (int bit = 0; bit < 8; ++bit)
                crc = (crc & 1) ? (crc >> 1) ^ kReflectedPolynomial : crc >> 1;
            t[0][i] = crc;
        }
        for (std::size_t k = 1; k < t.size(); ++k)
            for (std::size_t i = 0; i < 256; ++i)
                t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xff];
        return t;
    }();
    return built;
}

std::uint64_t loadLittleEndian(const unsigned char* p) {
    std::uint64_t value;
    std::memcpy(&value, p, sizeof value);
    if constexpr (std::endian::native == std::endian::big) value = __builtin_bswap64(value);
    return value;
}

// Works on the raw register (before the final XOR).
std::uint64_t tableRegister(std::uint64_t reg, const unsigned char* p, std::size_t size) {
    const auto& t = tables();
    while (size >= 16) {
        const std::uint64_t a = loadLittleEndian(p) ^ reg;
        const std::uint64_t b = loadLittleEndian(p + 8);
        reg = t[15][a & 0xff] ^ t[14][(a >> 8) & 0xff] ^ t[13][(a >> 16) & 0xff] ^
              t[12][(a >> 24) & 0xff] ^ t[11][(a >> 32) & 0xff] ^ t[10][(a >> 40) & 0xff] ^
              t[9][(a >> 48) & 0xff] ^ t[8][a >> 56] ^ t[7][b & 0xff] ^ t[6][(b >> 8) & 0xff] ^
              t[5][(b >> 16) & 0xff] ^ t[4][(b >> 24) & 0xff] ^ t[3][(b >> 32) & 0xff] ^
              t[2][(b >> 40) & 0xff] ^ t[1][(b >> 48) & 0xff] ^ t[0][b >> 56];
        p += 16;
        size -= 16;
    }
    while (size-- > 0) reg = t[0][(reg ^ *p++) & 0xff] ^ (reg >> 8);
    return reg;
}

#ifdef KAVO_CRC64_CLMUL

// x^n mod P, bit-reversed into the reflected order (bit i holds the coefficient of
// x^(63-i)), as the folding multiplier for a distance of n bits.
constexpr std::uint64_t reflectedPowerOfX(int n) {
    std::uint64_t r = 1;
    for (int i = 0; i < n; ++i) r = (r & (1ULL << 63)) ? (r << 1) ^ kNormalPolynomial : r << 1;
    std::uint64_t reflected = 0;
    for (int i = 0; i < 64; ++i)
        if (r & (1ULL << i)) reflected |= 1ULL << (63 - i);
    return reflected;
}

// A 16-byte lane (high-degree half in the low quadword) moved forward by d bits is
// high·x^(d+64) + low·x^d. The product of two reflected quadwords carries one extra
// factor of x, hence the powers d+63 and d-1.
constexpr std::uint64_t kFold128High = reflectedPowerOfX(128 + 63);
constexpr std::uint64_t kFold128Low = reflectedPowerOfX(128 - 1);
constexpr std::uint64_t kFold512High = reflectedPowerOfX(512 + 63);
constexpr std::uint64_t kFold512Low = reflectedPowerOfX(512 - 1);

__attribute__((target("pclmul,sse2"))) inline __m128i fold(__m128i lane, __m128i constants) {
    return _mm_xor_si128(_mm_clmulepi64_si128(lane, constants, 0x00),
                         _mm_clmulepi64_si128(lane, constants, 0x11));
}

__attribute__((target("pclmul,sse2"))) std::uint64_t clmulRegister(std::uint64_t reg,
                                                                   const unsigned char* p,
                                                                   std::size_t size) {
    const __m128i by512 =
        _mm_set_epi64x(static_cast<long long>(kFold512Low), static_cast<long long>(kFold512High));
    const __m128i by128 =
        _mm_set_epi64x(static_cast<long long>(kFold128Low), static_cast<long long>(kFold128High));
    auto load = [](const unsigned char* at) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    };

    // The register joins the message by XOR into its first eight bytes.
    __m128i x0 = _mm_xor_si128(load(p), _mm_set_epi64x(0, static_cast<long long>(reg)));
    __m128i x1 = load(p + 16);
    __m128i x2 = load(p + 32);
    __m128i x3 = load(p + 48);
    p += 64;
    size -= 64;
    while (size >= 64) {
        x0 = _mm_xor_si128(fold(x0, by512), load(p));
        x1 = _mm_xor_si128(fold(x1, by512), load(p + 16));
        x2 = _mm_xor_si128(fold(x2, by512), load(p + 32));
        x3 = _mm_xor_si128(fold(x3, by512), load(p + 48));
        p += 64;
        size -= 64;
    }
    __m128i x = _mm_xor_si128(fold(x0, by128), x1);
    x = _mm_xor_si128(fold(x, by128), x2);
    x = _mm_xor_si128(fold(x, by128), x3);
    while (size >= 16) {
        x = _mm_xor_si128(fold(x, by128), load(p));
        p += 16;
        size -= 16;
    }
    // What is left is congruent to the message so far: finish its 16 bytes and the tail
    // through the tables from a zero register.
    alignas(16) unsigned char rest[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(rest), x);
    return tableRegister(tableRegister(0, rest, sizeof rest), p, size);
}

bool cpuHasClmul() {
    static const bool has = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse2");
    return has;
}

#endif

}  // namespace

std::uint64_t Crc64::updateWithTables(std::uint64_t crc, const void* data, std::size_t size) {
    return ~tableRegister(~crc, static_cast<const unsigned char*>(data), size);
}

bool Crc64::hasCarrylessMultiply() {
#ifdef KAVO_CRC64_CLMUL
    return cpuHasClmul();
#else
    return false;
#endif
}

std::uint64_t Crc64::update(std::uint64_t crc, const void* data, std::size_t size) {
#ifdef KAVO_CRC64_CLMUL
    // Below a few lanes the set-up costs more than the tables.
    if (size >= 128 && cpuHasClmul())
        return ~clmulRegister(~crc, static_cast<const unsigned char*>(data), size);
#endif
    return updateWithTables(crc, data, size);
}

std::string Crc64::headerValue(std::uint64_t crc) {
    unsigned char bytes[8];
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(crc >> (8 * i));
    return base64Encode({reinterpret_cast<const char*>(bytes), sizeof bytes});
}

}  // namespace kavo
