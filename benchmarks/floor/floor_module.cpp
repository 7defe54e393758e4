// The floor of a backtest: the work of a run done by plain loops, for the
// benchmarks only (never part of korvel).
//
// floor.run(...) replays a run whose holdings and trades are known in
// advance (taken from a korvel run): every row it values the holdings at the
// trading price with the exit test and at the close, on rebalance rows it
// works out every column's target and trades the held ones, and for every
// trade it walks the trade's closes once and makes a record of the types
// korvel's records have: [int, numpy.int64, int], a numpy.float64 and a
// float64 statistics array. What it does not do (the rules' corner cases,
// checks, the recorder's slots) is what the engine costs above it.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <numpy/arrayobject.h>
#include <numpy/arrayscalars.h>

#include <cmath>
#include <cstdint>
#include <vector>

namespace {

struct Table {
    const double* data;
    npy_intp cols;
    double at(npy_intp i, npy_intp j) const { return data[i * cols + j]; }
};

double pairwise(const double* a, npy_intp n) {
    if (n < 8) {
        double s = 0.0;
        for (npy_intp i = 0; i < n; ++i) s += a[i];
        return s;
    }
    if (n <= 128) {
        double r[8];
        for (int k = 0; k < 8; ++k) r[k] = a[k];
        npy_intp i = 8;
        for (; i < n - (n % 8); i += 8)
            for (int k = 0; k < 8; ++k) r[k] += a[i + k];
        double s = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) s += a[i];
        return s;
    }
    npy_intp h = n / 2;
    h -= h % 8;
    return pairwise(a, h) + pairwise(a + h, n - h);
}

std::vector<PyObject*> ints, int64s;  // shared immutable values, never freed

PyObject* shared(std::vector<PyObject*>& cache, long v, bool numpy_scalar) {
    if (static_cast<size_t>(v) >= cache.size()) cache.resize(static_cast<size_t>(v) + 1, nullptr);
    PyObject*& slot = cache[static_cast<size_t>(v)];
    if (!slot) {
        if (numpy_scalar) {
            slot = PyArrayScalar_New(Long);
            PyArrayScalar_ASSIGN(slot, Long, v);
        } else {
            slot = PyLong_FromLong(v);
        }
    }
    Py_INCREF(slot);
    return slot;
}

PyObject* block = nullptr;
npy_intp block_used = 1 << 13;

PyObject* stats_view(npy_intp n) {
    if (block_used + n > (1 << 13)) {
        npy_intp dims[1] = {1 << 13};
        Py_XDECREF(block);
        block = PyArray_EMPTY(1, dims, NPY_DOUBLE, 0);
        block_used = 0;
    }
    npy_intp dims[1] = {n};
    double* data = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(block))) + block_used;
    PyObject* view = PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_DOUBLE), 1, dims, nullptr, data,
                                          NPY_ARRAY_CARRAY, nullptr);
    Py_INCREF(block);
    PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(view), block);
    block_used += n;
    return view;
}

// One pass over a trade's closes; writes the window and exit snapshots.
void trace(const Table& close, const Table& price, int col, long entry, long exit, long rows, long window, long step,
           bool is_long, double fee, double tax, double* out, npy_intp size) {
    long end = exit < entry + window ? entry + window : exit;
    if (end >= rows) end = rows - 1;
    double c0 = close.at(entry, col), r = is_long ? c0 / price.at(entry, col) : 2.0 - c0 / price.at(entry, col);
    r *= 1.0 - fee;
    double peak = r > 1.0 ? r : 1.0, trough = r < 1.0 ? r : 1.0, peak_low = peak, dd = r < 1.0 ? r - 1.0 : 0.0;
    double days = r > 1.0 ? 1.0 : 0.0, prev = c0;
    for (npy_intp k = 0; k < size; ++k) out[k] = -1.0;
    long group = 0;
    for (long t = 0;; ++t) {
        if (t > 0) {
            const double c = close.at(entry + t, col);
            if (!std::isnan(c)) {
                r = is_long ? r * (c / prev) : 2.0 - (2.0 - r) * (c / prev);
                prev = c;
            }
            const double before = peak;
            if (r > peak) peak = r;
            if (r < trough) {
                trough = r;
                peak_low = before;
            }
            const double d = r / peak - 1.0;
            if (d < dd) dd = d;
            if (r > 1.0) days += 1.0;
        }
        double snap[6] = {trough - 1.0, peak - 1.0, peak_low - 1.0, dd, days, r - 1.0};
        if (t < window && t % step == 0)
            for (int k = 0; k < 6; ++k) out[6 * group + k] = snap[k];
        if (t % step == 0 && t < window) ++group;
        if (t == exit - entry || entry + t == end) {
            snap[5] = r * (price.at(entry + t, col) / close.at(entry + t, col)) * ((1.0 - fee) - tax) - 1.0;
            for (int k = 0; k < 6; ++k) out[size - 6 + k] = snap[k];
        }
        if (entry + t >= end) break;
    }
}

PyObject* run(PyObject*, PyObject* args) {
    PyArrayObject *price_a, *close_a, *weights_a, *applied_a, *trades_a, *cols_a, *active_start_a, *active_a;
    PyObject *trades_list, *positions_list, *stats_list;
    long window, step;
    double fee, tax, lower, upper;
    if (!PyArg_ParseTuple(args, "O!O!O!O!O!O!O!O!OOOlldddd", &PyArray_Type, &price_a, &PyArray_Type, &close_a,
                          &PyArray_Type, &weights_a, &PyArray_Type, &applied_a, &PyArray_Type, &trades_a, &PyArray_Type,
                          &cols_a, &PyArray_Type, &active_start_a, &PyArray_Type, &active_a, &trades_list,
                          &positions_list, &stats_list, &window, &step, &fee, &tax, &lower, &upper))
        return nullptr;
    const Table price{static_cast<double*>(PyArray_DATA(price_a)), PyArray_DIM(price_a, 1)};
    const Table close{static_cast<double*>(PyArray_DATA(close_a)), PyArray_DIM(close_a, 1)};
    const Table weights{static_cast<double*>(PyArray_DATA(weights_a)), PyArray_DIM(weights_a, 1)};
    const auto* applied = static_cast<int64_t*>(PyArray_DATA(applied_a));
    const auto* trades = static_cast<int64_t*>(PyArray_DATA(trades_a));  // n x 4: sid, entry, exit, exit row used
    const auto* col_of = static_cast<int32_t*>(PyArray_DATA(cols_a));
    const auto* active_start = static_cast<int64_t*>(PyArray_DATA(active_start_a));
    const auto* active = static_cast<int32_t*>(PyArray_DATA(active_a));
    const long rows = static_cast<long>(PyArray_DIM(price_a, 0));
    const npy_intp n_trades = PyArray_DIM(trades_a, 0), width = weights.cols;
    // Like the engine: the collector would rescan the growing record lists.
    const int collector_was_on = PyGC_Disable();
    for (PyObject* list : {trades_list, positions_list, stats_list}) PyList_SetSlice(list, 0, PY_SSIZE_T_MAX, nullptr);

    std::vector<double> value(width, 0.0), growth(width, 1.0), gmax(width, 1.0), gmin(width, 1.0);
    std::vector<double> last(price.cols, 1.0), scratch(width);
    std::vector<unsigned char> held(width, 0);
    npy_intp result_size = 6 * ((window - 1) / step) + 12;
    if (window == 0) result_size = 6;
    npy_intp next_trade = 0;
    double cash = 1.0, equity_sum = 0.0;
    for (long i = 0; i < rows; ++i) {
        // Holdings into the row: value at the trading price, exit test.
        for (int64_t k = active_start[i]; k < active_start[i + 1]; ++k) {
            const int sid = active[k], pc = col_of[sid];
            const double p = price.at(i, pc);
            double ret = p / last[pc];
            if (std::isnan(ret)) ret = 1.0;
            value[sid] *= ret;
            growth[sid] *= ret;
            if (growth[sid] > gmax[sid]) gmax[sid] = growth[sid];
            if (growth[sid] < gmin[sid]) gmin[sid] = growth[sid];
            const double entry_value = value[sid] / growth[sid];
            const double factor = growth[sid] * close.at(i, pc) / p;
            const bool out_of_bounds = entry_value > 0.0 ? (factor >= upper || factor < lower)
                                                         : (factor >= 2.0 - lower || factor < 2.0 - upper);
            cash += out_of_bounds ? 0.0 : 0.0;
            if (!std::isnan(p)) last[pc] = p;
        }
        if (applied[i] >= 0) {
            const double* w = weights.data + applied[i] * width;
            double total = cash;
            for (npy_intp s = 0; s < width; ++s) {
                if (held[s]) total += value[s];
                scratch[s] = std::fabs(w[s]);
            }
            const double gross = pairwise(scratch.data(), width);
            const double scale = total / (gross > 1.0 ? gross : 1.0);
            for (npy_intp s = 0; s < width; ++s) {
                const double target = w[s] * scale;
                if (target == 0.0 && !held[s]) continue;
                const double diff = target - (held[s] ? value[s] : 0.0), cost = fee * std::fabs(diff);
                cash -= diff;
                value[s] = target - cost;
                held[s] = target != 0.0;
                growth[s] = gmax[s] = gmin[s] = 1.0;
            }
            for (npy_intp c = 0; c < price.cols; ++c) last[c] = price.at(i, c);
        }
        // The trades that end on this row (in the order korvel records them).
        while (next_trade < n_trades && trades[4 * next_trade + 3] == i) {
            const int64_t* t = trades + 4 * next_trade;
            const int sid = static_cast<int>(t[0]);
            PyObject* record = PyList_New(3);
            PyList_SET_ITEM(record, 0, shared(ints, sid, false));
            PyList_SET_ITEM(record, 1, shared(int64s, static_cast<long>(t[1]), true));
            PyList_SET_ITEM(record, 2, t[2] < 0 ? PyLong_FromLong(-1) : shared(ints, static_cast<long>(t[2]), false));
            PyList_Append(trades_list, record);
            Py_DECREF(record);
            PyObject* position = PyArrayScalar_New(Double);
            PyArrayScalar_ASSIGN(position, Double, value[sid]);
            PyList_Append(positions_list, position);
            Py_DECREF(position);
            PyObject* stats = stats_view(result_size);
            trace(close, price, col_of[sid], static_cast<long>(t[1]), t[2] < 0 ? rows - 1 : static_cast<long>(t[2]),
                  rows, window, step, value[sid] >= 0.0, fee, tax,
                  static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(stats))), result_size);
            PyList_Append(stats_list, stats);
            Py_DECREF(stats);
            ++next_trade;
        }
        // Holdings at the close.
        double row_value = cash;
        for (int64_t k = active_start[i + 1]; k < active_start[i + 2]; ++k) {
            const int sid = active[k], pc = col_of[sid];
            row_value += value[sid] * close.at(i, pc) / price.at(i, pc);
        }
        equity_sum += row_value;
    }
    if (collector_was_on) PyGC_Enable();
    return PyFloat_FromDouble(equity_sum);
}

PyMethodDef methods[] = {{"run", run, METH_VARARGS, "The floor of one run."}, {nullptr, nullptr, 0, nullptr}};
PyModuleDef module = {PyModuleDef_HEAD_INIT, "korvel_floor", nullptr, -1, methods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_korvel_floor(void) {
    import_array();
    return PyModule_Create(&module);
}
