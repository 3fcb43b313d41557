#define KLIMORA_NUMPY_API_TABLES
#include "formula/numpy_api.hpp"

namespace klimora {

bool import_numpy_api() {
    return PyArray_ImportNumPyAPI() == 0 && PyUFunc_ImportUFuncAPI() == 0;
}

}  // namespace klimora
