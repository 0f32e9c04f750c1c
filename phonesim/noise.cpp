#include "noise.h"

#include <cmath>
#include <limits>

namespace phonesim {

SeededRandom::SeededRandom(std::uint64_t seed, std::uint32_t stream)
{
    std::seed_seq sequence{std::uint32_t(seed), std::uint32_t(seed >> 32), stream};
    engine_.seed(sequence);
}

double SeededRandom::unit()
{
    // 53 random bits; never zero, so that a logarithm of it is finite.
    return double((engine_() >> 11) + 1) * 0x1p-53;
}

std::uint64_t SeededRandom::below(std::uint64_t bound)
{
    return bound ? engine_() % bound : 0;
}

LineNoise::LineNoise(std::string name, double bitErrorRate, std::uint64_t seed, std::uint32_t stream, RequestLog &log)
    : name_(std::move(name)), rate_(bitErrorRate), random_(seed, stream), log_(log)
{
    nextFlip_ = gap();
}

std::uint64_t LineNoise::gap()
{
    constexpr auto never = std::numeric_limits<std::uint64_t>::max() / 2;
    if (rate_ <= 0)
        return never;
    if (rate_ >= 1)
        return 0;
    // Good bits before the next bad one: geometric with the bit error rate.
    const double good = std::floor(std::log(random_.unit()) / std::log1p(-rate_));
    return good >= double(never) ? never : std::uint64_t(good);
}

void LineNoise::apply(std::uint8_t *data, std::size_t size)
{
    const std::uint64_t end = bits_ + 8 * std::uint64_t(size);
    while (nextFlip_ < end) {
        const std::uint64_t offset = nextFlip_ - bits_;
        const unsigned bit = unsigned(nextFlip_ % 8);
        data[offset / 8] = std::uint8_t(data[offset / 8] ^ (1u << bit));
        log_.line("FAULT noise-" + name_ + " byte=" + std::to_string(nextFlip_ / 8) + " bit=" + std::to_string(bit));
        nextFlip_ += 1 + gap();
    }
    bits_ = end;
}

} // namespace phonesim
