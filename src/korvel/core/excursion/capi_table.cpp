// The table of native entry points that the engine binds at its import.
#include "excursion/capi_table.h"

#include "common/pyref.h"
#include "common/recorder_api.h"
#include "excursion/recorder.h"
#include "excursion/recorder_state.h"

#include <type_traits>

namespace korvel::recorder {

namespace {

// The binder casts each pointer back to the type its capsule name spells.
#define KORVEL_CHECK_PUBLISHED_TYPE(name, type, signature) \
    static_assert(std::is_same_v<decltype(&name), type>, #name " does not have the type its capsule name spells");
KORVEL_RECORDER_VARIABLES(KORVEL_CHECK_PUBLISHED_TYPE)
KORVEL_RECORDER_FUNCTIONS(KORVEL_CHECK_PUBLISHED_TYPE)
#undef KORVEL_CHECK_PUBLISHED_TYPE

void* address_of(ArrayVariable variable) { return static_cast<void*>(variable); }

template <typename Fn>
void* address_of(Fn fn) {
    static_assert(std::is_pointer_v<Fn> && std::is_function_v<std::remove_pointer_t<Fn>>);
    return reinterpret_cast<void*>(fn);
}

// The capsule name must outlive the capsule: the string literals of the
// interface lists only.
bool add_capsule(PyObject* table, const char* key, void* pointer, const char* signature) {
    PyRef capsule(PyCapsule_New(pointer, signature, nullptr));
    if (!capsule) return false;
    return PyDict_SetItemString(table, key, capsule.get()) == 0;
}

}  // namespace

PyObject* build_capi_table() {
    PyRef table(PyDict_New());
    if (!table) return nullptr;
    // Variables first, then the functions, in the order of the lists.
#define KORVEL_PUBLISH(name, type, signature) \
    if (!add_capsule(table.get(), #name, address_of(&name), signature)) return nullptr;
    KORVEL_RECORDER_VARIABLES(KORVEL_PUBLISH)
    KORVEL_RECORDER_FUNCTIONS(KORVEL_PUBLISH)
#undef KORVEL_PUBLISH
    return table.release();
}

}  // namespace korvel::recorder
