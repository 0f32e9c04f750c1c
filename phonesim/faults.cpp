#include "faults.h"

#include <charconv>

namespace phonesim {

namespace {

constexpr std::array<std::string_view, std::size_t(ExchangeKind::Count_)> kindNames = {
    "at",     "setup", "block",    "obex", "connect", "disconnect", "setpath", "mkdir", "listing",
    "memory", "get",   "continue", "put",  "delete",  "move",       "abort",   "other",
};

} // namespace

std::string_view kindName(ExchangeKind kind)
{
    return kindNames[std::size_t(kind)];
}

std::optional<ExchangeKind> kindFromName(std::string_view name)
{
    for (std::size_t i = 0; i < kindNames.size(); ++i)
        if (kindNames[i] == name)
            return ExchangeKind(i);
    return std::nullopt;
}

std::optional<Selector> Selector::parse(std::string_view text)
{
    Selector selector;
    std::string_view number = text;
    auto colon = text.find(':');
    bool numeric = !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
    if (!numeric) {
        auto kind = kindFromName(text.substr(0, colon));
        if (!kind)
            return std::nullopt;
        selector.kind = *kind;
        number = colon == std::string_view::npos ? std::string_view("1") : text.substr(colon + 1);
    }
    auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), selector.ordinal);
    if (error != std::errc() || end != number.data() + number.size() || selector.ordinal == 0)
        return std::nullopt;
    return selector;
}

std::string Selector::text() const
{
    return std::string(kindName(kind)) + ":" + std::to_string(ordinal);
}

void Damage::merge(const Damage &other)
{
    if (other.silentAfter)
        silentAfter = other.silentAfter;
    garbage = garbage || other.garbage;
    withholdAck = withholdAck || other.withholdAck;
    badCrc = badCrc || other.badCrc;
    if (other.delayedByte) {
        delayedByte = other.delayedByte;
        delayMs = other.delayMs;
    }
}

std::string Damage::text() const
{
    std::string out;
    auto add = [&out](const std::string &item) {
        if (!out.empty())
            out += ' ';
        out += item;
    };
    if (silentAfter)
        add("silent-after=" + std::to_string(*silentAfter));
    if (garbage)
        add("garbage");
    if (withholdAck)
        add("no-ack");
    if (badCrc)
        add("bad-crc");
    if (delayedByte)
        add("delay-byte=" + std::to_string(*delayedByte) + ":" + std::to_string(delayMs));
    return out;
}

bool takeBlock(BlockNumbers &numbers, unsigned block)
{
    auto it = numbers.find(block);
    if (it == numbers.end())
        return false;
    numbers.erase(it);
    return true;
}

FaultPlan::FaultPlan(const FaultOptions &options) : options_(options) {}

Damage FaultPlan::onExchange(const std::vector<ExchangeKind> &kinds)
{
    bool selected = false;
    for (ExchangeKind kind : kinds) {
        unsigned count = ++counts_[std::size_t(kind)];
        if (kind == options_.on.kind && count == options_.on.ordinal)
            selected = true;
    }
    if (!selected || fired_ || !options_.damage.any())
        return {};
    fired_ = true;
    return options_.damage;
}

} // namespace phonesim
