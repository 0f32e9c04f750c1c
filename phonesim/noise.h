// Line noise and the other random faults. Every draw depends only on --seed and a fixed
// stream number, so a run can be repeated exactly.
#pragma once

#include "requestlog.h"

#include <cstdint>
#include <random>
#include <string>

namespace phonesim {

class SeededRandom
{
public:
    SeededRandom(std::uint64_t seed, std::uint32_t stream);

    double unit(); // in (0, 1]
    std::uint64_t below(std::uint64_t bound);

private:
    std::mt19937_64 engine_;
};

// Flips bits of one direction's byte stream at a bit error rate. Positions count from
// the start of phonesim: byte N of that direction, bit 0 the least significant (the
// first on the wire).
class LineNoise
{
public:
    LineNoise(std::string name, double bitErrorRate, std::uint64_t seed, std::uint32_t stream, RequestLog &log);

    void apply(std::uint8_t *data, std::size_t size);

private:
    std::uint64_t gap();

    std::string name_;
    double rate_;
    SeededRandom random_;
    RequestLog &log_;
    std::uint64_t bits_ = 0; // bits of the stream passed so far
    std::uint64_t nextFlip_ = 0;
};

} // namespace phonesim
