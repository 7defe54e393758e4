// Why a trade ended, as the engine knows it when it ends the trade.
#pragma once

#include <cstdint>
#include <optional>

namespace korvel::portsim {

// X(enumerator, name as reported), in the order of their codes (0, 1, ...).
// The names are the ones the trade ledger hands out in "reason_names".
#define KORVEL_EXIT_REASONS(X)       \
    X(Open, "open")                  \
    X(Rebalance, "rebalance")        \
    X(StopLoss, "stop_loss")         \
    X(TakeProfit, "take_profit")     \
    X(TrailingStop, "trailing_stop") \
    X(Delisting, "delisting")        \
    X(Ruin, "ruin")

enum class ExitReason : int8_t {
#define KORVEL_EXIT_REASON_ENUMERATOR(name, text) name,
    KORVEL_EXIT_REASONS(KORVEL_EXIT_REASON_ENUMERATOR)
#undef KORVEL_EXIT_REASON_ENUMERATOR
};

// How a holding is closed: why, and the price of an intraday fill (a touched
// level or the open) when it is not the row's trading price. A fill that
// sells only a part of a capped exit (`part`) shrinks the holding and its
// trade goes on: no resize is recorded.
struct ExitNote {
    ExitReason reason = ExitReason::Rebalance;
    std::optional<double> fill = std::nullopt;
    bool part = false;
};

}  // namespace korvel::portsim
