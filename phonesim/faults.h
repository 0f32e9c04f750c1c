// Fault injection: one chosen exchange gets a damaged reply, so that tests can watch
// the client cope with silence, garbage, a missing acknowledgement, a broken CRC or a
// stalled byte at a moment of their choosing.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace phonesim {

// What the phone was asked; one exchange may belong to several kinds (every OBEX
// request is also "obex", the data block that completes it also "block").
enum class ExchangeKind {
    At, // an AT command line in AT mode
    Setup, // a BFB set-up frame (types 01, 02, 06)
    Block, // a BFB data block
    Obex, // any OBEX request
    Connect,
    Disconnect,
    Setpath, // enter a child folder, go to the parent or to the root
    Mkdir, // SETPATH allowed to create
    Listing, // GET x-obex/folder-listing
    Memory, // GET with the memory application parameter
    Get, // GET of a file or another object
    Continue, // bare GET asking for the next response packet
    Put, // a packet of an upload
    Delete, // final PUT carrying a Name and no body
    Move, // final PUT carrying the move application parameters
    Abort,
    Other,
    Count_
};

std::string_view kindName(ExchangeKind kind);
std::optional<ExchangeKind> kindFromName(std::string_view name);

struct Selector
{
    ExchangeKind kind = ExchangeKind::Obex;
    unsigned ordinal = 1; // the n-th exchange of that kind since the phone started

    static std::optional<Selector> parse(std::string_view text);
    std::string text() const;
};

// What happens to the reply of the selected exchange.
struct Damage
{
    std::optional<std::size_t> silentAfter; // send this many reply bytes, then nothing more
    bool garbage = false; // garbage instead of the reply
    bool withholdAck = false; // no link acknowledgement for the block
    bool badCrc = false; // the response block's CRC is wrong
    std::optional<std::size_t> delayedByte; // index of the reply byte to hold back...
    unsigned delayMs = 0; // ...for this long

    bool any() const { return silentAfter || garbage || withholdAck || badCrc || delayedByte; }
    void merge(const Damage &other);
    std::string text() const;
};

// Block numbers count the data blocks on the wire in one direction since phonesim
// started, from 1: the computer's as the phone assembles them (repeats included), the
// phone's as it sends them (resends included). Each listed number fires once; a number
// listed twice fires twice.
using BlockNumbers = std::multiset<unsigned>;

struct FaultOptions
{
    Selector on;
    Damage damage;
    // Refusals apply to every request of their kind; -1 means none.
    int refuseSetpath = -1;
    int refuseMkdir = -1;
    int refuseDelete = -1;
    int refusePut = -1;
    int refuseMove = -1;
    bool refuseSpeed = false; // speed frames for other rates than the start rate
    bool refusePlain = false; // AT^SQWE=3, as a phone without plain OBEX on the cable

    std::uint64_t seed = 1;
    double noiseRx = 0; // bit error rate, computer to phone
    double noiseTx = 0; // bit error rate, phone to computer
    BlockNumbers flipRx; // one bit of the packet or CRC of the computer's block
    BlockNumbers flipTx; // one bit of the packet or CRC of the phone's block
    BlockNumbers loseRxBlock; // the computer's block never reaches the phone
    BlockNumbers loseTxAck; // the phone's acknowledgement of the computer's block is lost
    BlockNumbers loseRxAck; // the computer's acknowledgement of the phone's block is lost
};

// Fires a listed block number once: true and one listing used up.
bool takeBlock(BlockNumbers &numbers, unsigned block);

class FaultPlan
{
public:
    explicit FaultPlan(const FaultOptions &options);

    // Counts the exchange under every kind it belongs to and returns the damage for
    // its reply (none unless it is the selected one, which is damaged only once).
    Damage onExchange(const std::vector<ExchangeKind> &kinds);

private:
    FaultOptions options_;
    std::array<unsigned, std::size_t(ExchangeKind::Count_)> counts_{};
    bool fired_ = false;
};

} // namespace phonesim
