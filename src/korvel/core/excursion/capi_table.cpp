// The table of native entry points that the engine binds at its import.
#include "excursion/capi_table.h"

#include "common/pyref.h"
#include "excursion/recorder.h"
#include "excursion/recorder_state.h"

#include <map>
#include <type_traits>

namespace korvel::recorder {

namespace {

// The binder casts each pointer back to the type its capsule name spells, so
// the names below and these types must describe the same functions.
using StartAnalysisFn = void (*)(PyArrayObject*, PyArrayObject*, std::map<int, int>, int, double, double, int, int);
using RecordDateFn = void (*)(int);
using RecordEntryFn = void (*)(int, double, int);
using RecordExitFn = void (*)(int, int);
using EndAnalysisFn = PyObject* (*)(std::map<int, double>&);
using RecordExitAtFn = void (*)(int, int, double);
static_assert(std::is_same_v<decltype(&start_analysis), StartAnalysisFn>);
static_assert(std::is_same_v<decltype(&record_date), RecordDateFn>);
static_assert(std::is_same_v<decltype(&record_entry), RecordEntryFn>);
static_assert(std::is_same_v<decltype(&record_exit), RecordExitFn>);
static_assert(std::is_same_v<decltype(&end_analysis), EndAnalysisFn>);
static_assert(std::is_same_v<decltype(&record_exit_at), RecordExitAtFn>);
static_assert(std::is_same_v<decltype(&entry), PyArrayObject**>);
static_assert(std::is_same_v<decltype(&position), PyArrayObject**>);

// Capsule names are compared byte for byte, blanks included, and must
// outlive the capsules: string literals only.
constexpr const char kArrayVariable[] = "PyArrayObject *";
constexpr const char kStartAnalysis[] =
    "void (PyArrayObject *, PyArrayObject *, std::map<int,int> , int, double, double, int, int)";
constexpr const char kRecordDate[] = "void (int)";
constexpr const char kRecordEntry[] = "void (int, double, int)";
constexpr const char kRecordExit[] = "void (int, int)";
constexpr const char kEndAnalysis[] = "PyObject *(std::map<int,double>  &)";
constexpr const char kRecordExitAt[] = "void (int, int, double)";

template <typename Fn>
void* function_address(Fn fn) {
    return reinterpret_cast<void*>(fn);
}

bool add_capsule(PyObject* table, const char* key, void* pointer, const char* signature) {
    PyRef capsule(PyCapsule_New(pointer, signature, nullptr));
    if (!capsule) return false;
    return PyDict_SetItemString(table, key, capsule.get()) == 0;
}

}  // namespace

PyObject* build_capi_table() {
    PyRef table(PyDict_New());
    if (!table) return nullptr;
    // Variables first, then the functions; binders read them in this order.
    // The variables are published by address so a binder sees the arrays of
    // the current run, not the ones that existed at import.
    const bool ok =
        add_capsule(table.get(), "entry", static_cast<void*>(&entry), kArrayVariable) &&
        add_capsule(table.get(), "position", static_cast<void*>(&position), kArrayVariable) &&
        add_capsule(table.get(), "start_analysis", function_address(&start_analysis), kStartAnalysis) &&
        add_capsule(table.get(), "record_date", function_address(&record_date), kRecordDate) &&
        add_capsule(table.get(), "record_entry", function_address(&record_entry), kRecordEntry) &&
        add_capsule(table.get(), "record_exit", function_address(&record_exit), kRecordExit) &&
        add_capsule(table.get(), "end_analysis", function_address(&end_analysis), kEndAnalysis) &&
        add_capsule(table.get(), "record_exit_at", function_address(&record_exit_at), kRecordExitAt);
    if (!ok) return nullptr;
    return table.release();
}

}  // namespace korvel::recorder
