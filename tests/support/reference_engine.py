"""Slow, plain-Python reference of one ``portsim.backtest_`` run.

This module is a test oracle: it repeats the engine's arithmetic step by
step, in the same order and with the same IEEE doubles (Python floats), so
that the native engine can be compared with it bit for bit.  It favours
being easy to read next to the engine's description over being fast, and
it only covers valid inputs: the error paths of the engine (invalid trading
prices, bad argument types, ...) are not reproduced.

Conventions shared with the engine:

* ``positions`` (the book) is a plain dict walked in ascending ``sid`` order
  with ``sorted()``; it may hold keys whose value is exactly 0.0.
* Exit bookkeeping stores an instrument as ``sign * (sid + 1)`` so that the
  sign (the exit kind) survives for instrument 0; readers take
  ``abs(s) - 1``.
"""

from dataclasses import dataclass, field

import numpy as np

INF = float("inf")


# ---------------------------------------------------------------------------
# small helpers
# ---------------------------------------------------------------------------


def fdiv(a, b):
    """Double division with array semantics: x/0 gives inf or nan, no error."""
    with np.errstate(all="ignore"):
        return float(np.float64(a) / np.float64(b))


def isnan(x):
    return x != x


def encode_exit(sid, positive):
    """Signed entry of the exit vectors (sign survives for sid 0)."""
    return (sid + 1) if positive else -(sid + 1)


def exit_sid(s):
    return abs(s) - 1


def _min_unsigned(a, b):
    """min(a, b) with both compared as unsigned 64-bit numbers."""
    mask = (1 << 64) - 1
    return a if (a & mask) <= (b & mask) else b


# ---------------------------------------------------------------------------
# set-up helpers
# ---------------------------------------------------------------------------


def map_columns(price_columns, pos_columns):
    """Weight column index -> price column index, matched by UTF-8 name."""
    price_col_of = {}
    for i, name in enumerate(price_columns):
        price_col_of[name.encode("utf-8")] = i  # last occurrence wins
    result = {}
    for j, name in enumerate(pos_columns):
        key = name.encode("utf-8")
        if key in price_col_of:
            result[j] = price_col_of[key]
    return result


def rebalance_rows_of(price_index, resample):
    """Mark, for every rebalance date, the last price row dated on or before it."""
    n = len(price_index)
    rows = [0] * n
    if n == 0:
        # Without price rows there is nothing to mark.
        return rows
    j = 0
    for d in resample:
        while j + 1 < n and price_index[j + 1] <= d:
            j += 1
        rows[j] = 1
    return rows


def normalize_weight(weights, position_limit):
    """Scale a dict of weights to gross 1 (never up), then cap each one."""
    weight_sum = 0.0
    for sid, _ in weights.items():
        weight_sum = weight_sum + abs(weights[sid])
    for sid in weights:
        if weight_sum > 1:
            weights[sid] = weights[sid] * (1 / weight_sum)
    for sid in weights:
        if weights[sid] > position_limit:
            weights[sid] = position_limit
        elif weights[sid] < -position_limit:
            weights[sid] = -position_limit
    return weights


# ---------------------------------------------------------------------------
# trade recorder and excursion statistics
# ---------------------------------------------------------------------------


def excursion_analysis(
    price,
    close,
    col,
    window,
    window_step,
    fee_ratio,
    tax_ratio,
    entry_row,
    exit_row,
    is_long,
    entry_transaction,
    exit_transaction,
    exit_fill=None,
    revalue_split=False,
):
    """Statistics array of one trade.

    ``price`` and ``close`` are row-major lists of lists (or 2-D arrays) of
    floats; ``col`` is the trade's price column.  ``exit_fill`` is the price
    an intraday exit was filled at, which then values the exit in place of
    the exit row's trade price.  ``revalue_split``: the record ends at a
    rebalance that keeps the holding, valued at the trade price like an exit
    but without exit costs.
    """
    end = exit_row
    if entry_row + window > end:
        end = entry_row + window
    n = len(price)
    if end >= n:
        end = n - 1
    length = end - entry_row + 1

    p0 = float(price[entry_row][col])
    c0 = float(close[entry_row][col])
    r = c0 / p0 if is_long else 2 - c0 / p0
    if entry_transaction != 0:
        r = r * (1 - fee_ratio)

    cum_return = [r]
    peak_return = [1.0 if 1.0 > r else r]
    trough_return = [1.0 if 1.0 < r else r]
    trough_offset = [0]
    max_drawdown = [r - 1 if r - 1 < 0 else 0.0]
    profit_days = [1.0 if r > 1 else 0.0]

    prev = c0
    for ith in range(entry_row + 1, end + 1):
        p = ith - entry_row - 1
        c = float(close[ith][col])
        if not isnan(c):
            ratio = c / prev
            if not isnan(ratio):
                if is_long:
                    r = r * ratio
                else:
                    r = 2 - (2 - r) * ratio
            prev = c
        peak_return.append(r if r > peak_return[p] else peak_return[p])
        if trough_return[p] > r:
            trough_return.append(r)
            trough_offset.append(p)
        else:
            trough_return.append(trough_return[p])
            trough_offset.append(trough_offset[p])
        dd = r / peak_return[p + 1] - 1
        max_drawdown.append(dd if max_drawdown[p] > dd else max_drawdown[p])
        profit_days.append(profit_days[p] + 1 if (not isnan(c) and r > 1) else profit_days[p])
        cum_return.append(r)

    # The exit offset: the exit row itself, or the last analysed row when
    # the tables end earlier.
    k = _min_unsigned(length - 1, exit_row - entry_row)

    if exit_transaction != 0 or revalue_split:
        # Value the exit at the trade price instead of the close, then take
        # off commission and tax for a real exit.  Only the exit element changes.
        last = cum_return[k]
        if k != 0:
            xp = float(price[entry_row + k][col]) if exit_fill is None else exit_fill
            xc = float(close[entry_row + k][col])
            if not (isnan(xp) or isnan(xc)):
                if is_long:
                    last = last * (xp / xc)
                else:
                    last = 2 - (xp * (2 - last)) / xc
        if exit_transaction != 0:
            last = last * ((1 - fee_ratio) - tax_ratio)
        cum_return[k] = last

    q = (window - 1) // window_step
    size = 6 * q + 12
    out = np.empty(size, dtype=np.float64)
    out.fill(-1.0)

    def snapshot(t):
        return [
            trough_return[t] - 1,
            peak_return[t] - 1,
            peak_return[trough_offset[t]] - 1,
            max_drawdown[t],
            profit_days[t],
            cum_return[t] - 1,
        ]

    m = _min_unsigned(length, window)
    group = 0
    t = 0
    while t < m:
        out[6 * group : 6 * group + 6] = snapshot(t)
        group += 1
        t += window_step
    out[size - 6 : size] = snapshot(k)
    return out


class TradeRecorder:
    """The recorder state of one run (slots, current row, record lists)."""

    def __init__(self, price, close, pos2price, n_slots, fee_ratio, tax_ratio, window, window_step):
        self.price = price
        self.close = close
        self.pos2price = dict(pos2price)  # its own copy
        self.window = window
        self.window_step = window_step
        self.fee_ratio = fee_ratio
        self.tax_ratio = tax_ratio
        self.date = 0
        self.entry = [0] * n_slots
        self.position = [0.0] * n_slots
        self.entry_transaction = [0] * n_slots
        self.trades = []
        self.trade_positions = []
        self.excursion = []
        # Every call, in order, for tests of the book.
        self.calls = []
        # The trade ledger: per record its reason, fill prices and costs
        # (aligned with the record lists), and per row the value traded and
        # the costs paid.
        self.ledger = []
        self.slot_costs = {}  # sid -> [entry price, fees, taxes] of its trade
        self.ended = {}  # sid -> index of the record the slot ended last
        self.row_traded = {}
        self.row_costs = {}

    def record_date(self, row):
        self.date = row

    def record_entry(self, sid, weight, entry_transaction):
        self.calls.append(("entry", sid, weight, entry_transaction))
        self.entry[sid] = self.date
        self.position[sid] = float(weight)
        self.entry_transaction[sid] = entry_transaction
        self.slot_costs[sid] = [self._price_at(self.date, sid), 0.0, 0.0]
        self.ended.pop(sid, None)

    def _price_at(self, row, sid):
        col = self.pos2price.get(sid, 0)
        if 0 <= row < len(self.price) and 0 <= col < len(self.price[row]):
            return float(self.price[row][col])
        return float("nan")

    def _ledger_entry(self, sid, exit_row, exit_price, reason):
        entry_price, fees, taxes = self.slot_costs.get(sid, [0.0, 0.0, 0.0])
        weight = self.position[sid]
        self.ledger.append(
            dict(
                side=1 if weight > 0 else -1,
                entry_price=entry_price,
                exit_price=exit_price,
                reason=reason,
                fees=fees,
                taxes=taxes,
            )
        )

    def charge(self, sid, traded, cost, fees):
        """A trade of ``traded`` on ``sid`` paid ``cost``, ``fees`` of it commission."""
        self.row_traded[self.date] = self.row_traded.get(self.date, 0.0) + traded
        self.row_costs[self.date] = self.row_costs.get(self.date, 0.0) + cost
        if sid in self.slot_costs:
            self.slot_costs[sid][1] += fees
            self.slot_costs[sid][2] += cost - fees
        elif sid in self.ended:
            record = self.ledger[self.ended[sid]]
            record["fees"] += fees
            record["taxes"] += cost - fees

    def _analyse(self, sid, exit_row, exit_transaction, exit_fill=None, ends=False):
        col = self.pos2price.setdefault(sid, 0)
        return excursion_analysis(
            self.price,
            self.close,
            col,
            self.window,
            self.window_step,
            self.fee_ratio,
            self.tax_ratio,
            self.entry[sid],
            exit_row,
            self.position[sid] > 0,
            self.entry_transaction[sid],
            exit_transaction,
            exit_fill,
            revalue_split=ends and exit_transaction == 0,
        )

    def record_exit(self, sid, exit_transaction, exit_fill=None, reason="rebalance"):
        self.calls.append(("exit", sid, exit_transaction))
        self.trades.append([sid, self.entry[sid], self.date])
        self.trade_positions.append(self.position[sid])
        self.excursion.append(self._analyse(sid, self.date, exit_transaction, exit_fill, ends=True))
        exit_price = self._price_at(self.date, sid) if exit_fill is None else float(exit_fill)
        self._ledger_entry(sid, self.date, exit_price, reason)
        self.slot_costs.pop(sid, None)
        self.ended[sid] = len(self.ledger) - 1

    def end_analysis(self, book):
        for sid in sorted(book):
            if book[sid] != 0.0:
                self.trades.append([sid, self.entry[sid], -1])
                self.trade_positions.append(self.position[sid])
                self.excursion.append(self._analyse(sid, self.date, 0))
                self._ledger_entry(sid, -1, float("nan"), "open")


class NullRecorder:
    """Stand-in recorder that only remembers the calls (for book tests)."""

    def __init__(self):
        self.calls = []

    def record_entry(self, sid, weight, entry_transaction):
        self.calls.append(("entry", sid, weight, entry_transaction))

    def record_exit(self, sid, exit_transaction, exit_fill=None, reason="rebalance"):
        self.calls.append(("exit", sid, exit_transaction))

    def charge(self, sid, traded, cost, fees):
        pass


# ---------------------------------------------------------------------------
# position book and rebalance
# ---------------------------------------------------------------------------


def set_position(
    positions,
    sid,
    target,
    cash,
    fee_ratio,
    tax_ratio,
    check_exist=True,
    remove_zero=False,
    total_value=1,
    *,
    recorder,
    retain_cost=False,
    resample=True,
    exit_fill=None,
    reason="rebalance",
):
    """Move one holding to ``target``; return the new cash.  ``exit_fill``:
    the price a close filled intraday was executed at; ``reason``: why a
    holding is closed."""
    present = (sid in positions) if check_exist else True
    was_active = sid in positions and positions[sid] != 0  # NaN counts as active

    if target != 0 and not was_active:
        recorder.record_entry(sid, float(target) / total_value, 1)
    elif was_active and target == 0:
        recorder.record_exit(sid, 1, exit_fill, reason=reason)
    elif was_active and target != 0:
        # A holding that changes side is a new trade whatever the flags say.
        held = positions[sid]
        changes_side = (held > 0 and target < 0) or (held < 0 and target > 0)
        if (not retain_cost and resample) or changes_side:
            recorder.record_exit(sid, 0)
            recorder.record_entry(sid, float(target) / total_value, 0)

    if target == 0:
        if present:
            v = positions.setdefault(sid, 0.0)
            recorder.charge(sid, abs(v), (fee_ratio + tax_ratio) * abs(v), fee_ratio * abs(v))
            cash = cash + (v - (fee_ratio + tax_ratio) * abs(v))
            if remove_zero:
                del positions[sid]
            else:
                positions[sid] = 0.0
        return cash

    if not present:
        positions[sid] = 0.0
    old = positions[sid]
    diff = target - old
    if (target >= 0 and diff > 0) or (target <= 0 and diff < 0):
        rate = fee_ratio
    else:
        rate = fee_ratio + tax_ratio
    cost = rate * abs(diff)
    recorder.charge(sid, abs(diff), cost, fee_ratio * abs(diff))
    if diff > 0:
        cash = cash - diff
        positions[sid] = (diff - cost) + old
    else:
        cash = cash + ((-diff) - cost)
        positions[sid] = diff + old
    if remove_zero and positions[sid] == 0.0:
        del positions[sid]
    return cash


def rebalance(
    positions, weights, cash, fee_ratio, tax_ratio, position_limit, *, recorder, retain_cost=False, resample=True
):
    """Move every weight column to its target; return the new cash."""
    total = cash
    for sid in sorted(positions):
        total = total + positions[sid]

    # Gross weight with NumPy's own (pairwise) summation.
    s = float(np.sum(np.abs(np.asarray(weights, dtype=np.float64))))
    divisor = 1 if 1 > s else s
    scale = float(total) / divisor
    if isnan(scale):
        scale = 1.0
    limit = position_limit * total

    for i, w in enumerate(weights):
        w = float(w)
        if total < 0:
            # An underwater portfolio is wound down, not re-levered.
            target = 0.0
        else:
            target = w * scale
            if abs(target) > limit:
                target = limit if target > 0 else -limit
        cash = set_position(
            positions,
            i,
            target,
            cash,
            fee_ratio,
            tax_ratio,
            True,
            True,
            float(total),
            recorder=recorder,
            retain_cost=retain_cost,
            resample=resample,
        )
    return cash


# ---------------------------------------------------------------------------
# one backtest run
# ---------------------------------------------------------------------------


@dataclass
class RunResult:
    equity: np.ndarray
    trades: list
    trade_positions: list
    excursion: list
    stock_operations: dict
    # Per record: side, entry and exit prices, exit reason, fees and taxes;
    # per row: value traded and costs paid.
    ledger: list = field(default_factory=list)
    row_traded: list = field(default_factory=list)
    row_costs: list = field(default_factory=list)
    # Internal state after the last row, handy for tests of the oracle.
    positions: dict = field(default_factory=dict)
    cash: float = 1.0
    rebalance_rows: list = field(default_factory=list)
    growth: list = field(default_factory=list)


def _rows(a):
    return np.asarray(a, dtype=np.float64).tolist()


def run_backtest(
    price_values,
    close_values,
    high_values,
    low_values,
    open_values,
    price_index,
    price_columns,
    pos_values,
    pos_index,
    pos_columns,
    resample,
    fee_ratio=0.001425,
    tax_ratio=0.003,
    stop_loss=1.0,
    take_profit=INF,
    trail_stop=INF,
    trail_stop_activation=0.0,
    touched_exit=False,
    position_limit=1.0,
    retain_cost_when_rebalance=False,
    stop_trading_next_period=True,
    excursion_window=0,
    excursion_window_step=1,
    periodically_rebalance=True,
    delisting_bars=None,
):
    """Reference of one ``backtest_`` call with the same parameters."""
    price = _rows(price_values)
    close = _rows(close_values)
    high = _rows(high_values)
    low = _rows(low_values)
    open_ = _rows(open_values)
    price_dates = [int(d) for d in np.asarray(price_index)]
    pos_dates = [int(d) for d in np.asarray(pos_index)]
    rebalance_dates = [int(d) for d in np.asarray(resample)]
    pos_arr = np.asarray(pos_values, dtype=np.float64)
    weight_rows = pos_arr.tolist()

    fee_ratio = float(fee_ratio)
    tax_ratio = float(tax_ratio)
    stop_loss = float(stop_loss)
    take_profit = float(take_profit)
    trail_stop = float(trail_stop)
    trail_stop_activation = float(trail_stop_activation)
    touched_exit = bool(touched_exit)
    position_limit = float(position_limit)
    retain_cost = bool(retain_cost_when_rebalance)
    resample_flag = bool(periodically_rebalance)
    excursion_window = int(excursion_window)
    excursion_window_step = int(excursion_window_step)

    def stop_trading():
        return bool(stop_trading_next_period)

    n_rows = len(price_dates)
    n_cols = len(weight_rows[0])

    pos2price = map_columns(list(price_columns), list(pos_columns))
    equity = np.empty(n_rows, dtype=np.float64)
    growth = [1.0] * n_cols
    growth_max = [1.0] * n_cols
    growth_min = [1.0] * n_cols
    last_price = [1.0] * len(price[0])

    delisting = None
    if delisting_bars is not None:
        delisting = [int(x) for x in np.asarray(delisting_bars)]
    use_delisting = delisting is not None and any(x >= 0 for x in delisting)

    rebalance_rows = rebalance_rows_of(price_dates, rebalance_dates)

    recorder = TradeRecorder(
        price, close, pos2price, len(pos_columns), fee_ratio, tax_ratio, excursion_window, excursion_window_step
    )

    long_lower = 1 - abs(stop_loss)
    long_upper = 1 + abs(take_profit)
    short_upper = 1 + abs(stop_loss)
    short_lower = 1 - abs(take_profit)
    trail_distance = abs(trail_stop)
    long_activation = 1 + abs(trail_stop_activation)
    short_activation = 1 - abs(trail_stop_activation)

    positions = {}
    cash = 1.0
    pending_exits = []
    close_exit_signals = []
    # Why each close-based signal was raised, element for element.
    pending_reasons = []
    signal_reasons = []
    executed_exits = []
    positions_at_rebalance = {}
    rebalance_due = False
    pos_row = 0
    last_pos_row = -1
    date = None

    def close_position(sid, remove_zero, exit_fill=None, reason="rebalance"):
        return set_position(
            positions,
            sid,
            0.0,
            cash,
            fee_ratio,
            tax_ratio,
            False,
            remove_zero,
            recorder=recorder,
            retain_cost=retain_cost,
            resample=resample_flag,
            exit_fill=exit_fill,
            reason=reason,
        )

    def reset_growth(sid):
        growth[sid] = 1.0
        growth_max[sid] = 1.0
        growth_min[sid] = 1.0

    for i, date in enumerate(price_dates):
        if date < pos_dates[0]:
            equity[i] = 1.0
            continue

        recorder.record_date(i)

        # -- holdings: value at today's trading price, test the exit rules --
        for sid in sorted(positions):
            pc = pos2price.setdefault(sid, 0)
            p = price[i][pc]
            if isnan(last_price[pc]):
                last_price[pc] = p
            ret = fdiv(p, last_price[pc])
            if isnan(ret):
                ret = 1.0
            positions[sid] = positions[sid] * ret
            growth[sid] = growth[sid] * ret
            if growth[sid] > growth_max[sid]:
                growth_max[sid] = growth[sid]
            if growth[sid] < growth_min[sid]:
                growth_min[sid] = growth[sid]
            entry_value = fdiv(positions[sid], growth[sid])

            # Each bound with the rule it stands for.
            if entry_value > 0:
                active = growth_max[sid] >= long_activation
                upper_bound, upper_reason = long_upper, "take_profit"
                lower_bound, lower_reason = long_lower, "stop_loss"
                if active and growth_max[sid] - trail_distance > lower_bound:
                    lower_bound, lower_reason = growth_max[sid] - trail_distance, "trailing_stop"
            else:
                active = growth_min[sid] <= short_activation
                upper_bound, upper_reason = short_upper, "stop_loss"
                if active and growth_min[sid] + trail_distance < upper_bound:
                    upper_bound, upper_reason = growth_min[sid] + trail_distance, "trailing_stop"
                lower_bound, lower_reason = short_lower, "take_profit"

            if touched_exit:
                g0 = fdiv(growth[sid], ret)
                base = last_price[pc]
                high_factor = g0 * fdiv(high[i][pc], base)
                low_factor = g0 * fdiv(low[i][pc], base)
                open_factor = g0 * fdiv(open_[i][pc], base)
                touch_low = low_factor <= lower_bound
                touch_high = high_factor >= upper_bound
                touch_open = open_factor >= upper_bound or open_factor <= lower_bound
                # The fill: the open on a gap, else the touched level as a
                # price, measured from the last valid price.
                if touch_open:
                    positions[sid] = entry_value * open_factor
                    fill = open_[i][pc]
                    reason = upper_reason if open_factor >= upper_bound else lower_reason
                elif touch_high:
                    positions[sid] = entry_value * upper_bound
                    fill = fdiv(base * upper_bound, g0)
                    reason = upper_reason
                elif touch_low:
                    positions[sid] = entry_value * lower_bound
                    fill = fdiv(base * lower_bound, g0)
                    reason = lower_reason
                if touch_open or touch_high or touch_low:
                    stop_type = (touch_low and positions[sid] > 0) or (touch_high and positions[sid] < 0)
                    executed_exits.append(encode_exit(sid, not stop_type))
                    cash = close_position(sid, remove_zero=False, exit_fill=fill, reason=reason)
            else:
                # Signed by the kind of exit: a short's upper bound is its stop.
                is_long = entry_value > 0
                close_factor = fdiv(growth[sid] * close[i][pc], p)
                if close_factor >= upper_bound:
                    close_exit_signals.append(encode_exit(sid, is_long))
                    signal_reasons.append(upper_reason)
                elif close_factor < lower_bound:
                    close_exit_signals.append(encode_exit(sid, not is_long))
                    signal_reasons.append(lower_reason)

            if not isnan(p):
                last_price[pc] = p

        # -- yesterday's close signals are executed at today's price --
        for s, reason in zip(pending_exits, pending_reasons):
            sid = exit_sid(s)
            keep_position = rebalance_due and not stop_trading() and weight_rows[pos_row][sid] != 0
            if sid in positions and positions[sid] != 0 and not keep_position:
                cash = close_position(sid, remove_zero=True, reason=reason)
                executed_exits.append(s)
                reset_growth(sid)
                for k, other in enumerate(close_exit_signals):
                    if other == s or other == -s:
                        del close_exit_signals[k]
                        del signal_reasons[k]
                        break

        # -- today's signals wait for tomorrow --
        pending_exits = list(close_exit_signals)
        pending_reasons = list(signal_reasons)
        close_exit_signals = []
        signal_reasons = []

        # -- apply the due weight row --
        if rebalance_due:
            if not retain_cost:
                for sid in range(n_cols):
                    reset_growth(sid)
            else:
                for sid in range(n_cols):
                    v = weight_rows[pos_row][sid]
                    if v != 0 and (sid not in positions or positions[sid] * v <= 0):
                        reset_growth(sid)

            if stop_trading() and executed_exits:
                row = pos_arr[pos_row].copy()
                for s in executed_exits:
                    row[exit_sid(s)] = 0.0
            else:
                row = pos_arr[pos_row]

            held_before = {sid for sid, v in positions.items() if v != 0}
            cash = rebalance(
                positions,
                row,
                cash,
                fee_ratio,
                tax_ratio,
                position_limit,
                recorder=recorder,
                retain_cost=retain_cost,
                resample=resample_flag,
            )
            executed_exits = []
            positions_at_rebalance = dict(positions)
            previous_last_price = last_price
            last_price = list(price[i])
            # A holding kept through a rebalance on a row without a price
            # must still be measured from its last real price, or the next
            # move would be lost.
            for sid in sorted(held_before):
                if sid in positions and positions[sid] != 0:
                    pc = pos2price[sid]
                    if isnan(price[i][pc]):
                        last_price[pc] = previous_last_price[pc]
            last_pos_row = pos_row

        # -- delisting --
        if use_delisting:
            delisting_exits = [sid for sid in sorted(positions) if delisting[sid] == i and positions[sid] != 0]
            for sid in delisting_exits:
                cash = close_position(sid, remove_zero=True, reason="delisting")
                reset_growth(sid)

        # -- value the book at the close --
        row_value = cash
        for sid in sorted(positions):
            value = positions[sid]
            pc = pos2price.setdefault(sid, 0)
            p = price[i][pc]
            c = close[i][pc]
            if isnan(p) or isnan(c):
                row_value = row_value + value
            else:
                row_value = row_value + fdiv(value * c, p)
        equity[i] = row_value

        # -- which weight row is due next --
        next_date = price_dates[i + 1] if i < n_rows - 1 else INF
        candidate = pos_row
        while candidate < len(pos_dates) - 1 and pos_dates[candidate + 1] < next_date:
            candidate += 1
        pos_row = candidate
        rebalance_due = candidate != last_pos_row and rebalance_rows[i] != 0

    # -- results --
    recorder.end_analysis(positions)
    ops = {"actions": {}, "weights": {}, "next_weights": {}}

    weights = ops["weights"]
    weight_total = 0
    for sid in sorted(positions_at_rebalance):
        w = weight_rows[last_pos_row][sid]
        weights[sid] = w if sid in positions else 0
        weight_total = weight_total + w
    d = weight_total if weight_total > 1 else 1
    for sid in weights:
        weights[sid] = weights[sid] / d

    next_weights = ops["next_weights"]
    next_weight_total = 0
    stopped = {exit_sid(s) for s in executed_exits} | {exit_sid(s) for s in pending_exits}
    for sid in range(n_cols):
        v = weight_rows[pos_row][sid]
        if stop_trading() and sid in stopped:
            continue
        next_weight_total = next_weight_total + abs(v)
        if v != 0:
            next_weights[sid] = v
    ops["weight_time"] = last_pos_row
    ops["next_weight_time"] = pos_row
    d = next_weight_total if next_weight_total > 1 else 1
    for sid in next_weights:
        next_weights[sid] = next_weights[sid] / d

    ops["weights"] = normalize_weight(ops["weights"], position_limit)
    ops["next_weights"] = normalize_weight(ops["next_weights"], position_limit)

    actions = ops["actions"]
    if rebalance_due:
        for sid in range(n_cols):
            v = weight_rows[pos_row][sid]
            h = positions.get(sid, 0)
            if h == 0 and v != 0:
                actions[sid] = "enter"
            elif h != 0 and v == 0:
                actions[sid] = "exit"
            elif h != 0 and v != 0:
                actions[sid] = "hold"
    for s in pending_exits:
        sid = exit_sid(s)
        if stop_trading():
            actions[sid] = "tp" if s > 0 else "sl"
        elif date > pos_dates[pos_row]:
            actions[sid] = "tp" if s > 0 else "sl"
        elif sid in ops["next_weights"] and ops["next_weights"][sid] != 0:
            actions[sid] = "tp_enter" if s > 0 else "sl_enter"
    for s in executed_exits:
        sid = exit_sid(s)
        if stop_trading() or sid not in actions:
            actions[sid] = "tp_" if s > 0 else "sl_"

    return RunResult(
        equity=equity,
        trades=recorder.trades,
        trade_positions=recorder.trade_positions,
        excursion=recorder.excursion,
        stock_operations=ops,
        ledger=recorder.ledger,
        row_traded=[recorder.row_traded.get(i, 0.0) for i in range(n_rows)],
        row_costs=[recorder.row_costs.get(i, 0.0) for i in range(n_rows)],
        positions=positions,
        cash=cash,
        rebalance_rows=rebalance_rows,
        growth=list(growth),
    )
