#include "frame/constants.hpp"

namespace klimora {
namespace {
// Constant-initialised, so it is valid before any registration runs.
ConstantSlot* first_slot = nullptr;
}  // namespace

ConstantRegistration::ConstantRegistration(ConstantSlot& slot) noexcept {
    slot.next_ = first_slot;
    first_slot = &slot;
}

bool ConstantSlot::make_all() {
    for (ConstantSlot* s = first_slot; s != nullptr; s = s->next_) {
        if (s->object_ != nullptr) continue;
        switch (s->kind_) {
        case Kind::integer: s->object_ = PyLong_FromLongLong(s->integer_); break;
        case Kind::real:    s->object_ = PyFloat_FromDouble(s->real_); break;
        case Kind::name:    s->object_ = PyUnicode_InternFromString(s->text_); break;
        }
        if (s->object_ == nullptr) return false;
    }
    return true;
}

}  // namespace klimora
