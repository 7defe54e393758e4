#include "portsim/position_book.h"

#include <algorithm>
#include <cmath>

#include "portsim/module_state.h"

namespace korvel::portsim {

namespace {

// target / total_value with the host's float division semantics.
bool recorded_weight(double target, double total_value, double& weight) {
    if (total_value == 0.0) {
        PyErr_SetString(PyExc_ZeroDivisionError, "float division by zero");
        return false;
    }
    weight = target / total_value;
    return true;
}

bool record_entry(int sid, double target, double total_value, int entry_transaction) {
    double weight = 0.0;
    if (!recorded_weight(target, total_value, weight)) return false;
    return g_recording.enter(g_recording.self, sid, weight, entry_transaction);
}

bool record_exit(int sid, int exit_transaction, const ExitNote& exit) {
    return g_recording.exit(g_recording.self, sid, exit_transaction, exit);
}

// A holding moved to another non-zero target is split into two recorded
// trades (without costs at the split) unless costs are retained across
// rebalances or rebalancing is not periodic; one that changes side is split
// in every case, so each record keeps the side it was entered with. The
// flags are read as for any resize.
bool record_continuing_holding(int sid, double target, double total_value, bool changes_side) {
    static FlagCache retain_cost_flag, periodic_flag;
    const int retain_cost = read_module_flag(g_names.retain_cost_when_rebalance, retain_cost_flag);
    if (retain_cost < 0) return false;
    bool split = false;
    if (!retain_cost) {
        const int periodic = read_module_flag(g_names.resample, periodic_flag);
        if (periodic < 0) return false;
        split = periodic != 0;
    }
    if (!split && !changes_side) return true;
    return record_exit(sid, 0, ExitNote{ExitReason::Rebalance}) && record_entry(sid, target, total_value, 0);
}

}  // namespace

bool record_opening(int sid, double target, double total_value) { return record_entry(sid, target, total_value, 1); }

bool record_closing(int sid, const ExitNote& exit) { return record_exit(sid, 1, exit); }

bool record_resizing(int sid, double target, double total_value, bool changes_side) {
    return record_continuing_holding(sid, target, total_value, changes_side);
}

void PositionBook::reset(size_t width) {
    values.assign(width, 0.0);
    is_held.assign(width, 0);
    held.clear();
}

void PositionBook::insert(int sid, double value) {
    const auto index = static_cast<size_t>(sid);
    if (index >= is_held.size()) {
        values.resize(index + 1, 0.0);
        is_held.resize(index + 1, 0);
    }
    values[index] = value;
    is_held[index] = 1;
    held.insert(std::lower_bound(held.begin(), held.end(), sid), sid);
}

void PositionBook::erase(int sid) {
    is_held[static_cast<size_t>(sid)] = 0;
    held.erase(std::lower_bound(held.begin(), held.end(), sid));
}

std::map<int, double> PositionBook::as_map() const {
    std::map<int, double> book;
    for (const int sid : held) book.emplace_hint(book.end(), sid, value(sid));
    return book;
}

}  // namespace korvel::portsim
