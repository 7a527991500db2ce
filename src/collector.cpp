// Which classes are the module's own, for the collector's tracking rule
// (binding/collector.hpp). A class is recognised by its traverse slot, which
// no other type shares, whichever interpreter the class belongs to.
#include "maybe_class.hpp"
#include "result_class.hpp"

namespace tarnwick {

bool is_record_class(PyTypeObject* type) noexcept {
    void* traverse = PyType_GetSlot(type, Py_tp_traverse);
    return traverse == as_slot(traverse_slot<PyResult>) || traverse == as_slot(traverse_slot<MayBe>);
}

}  // namespace tarnwick
