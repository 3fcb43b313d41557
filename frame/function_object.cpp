#include "frame/function_object.hpp"

#include "frame/binding.hpp"
#include "frame/ref.hpp"
#include "frame/traceback.hpp"

#include <structmember.h>

#include <cstddef>
#include <string>

namespace klimora {
namespace {

struct FunctionObject {
    PyObject_HEAD
    const FunctionSpec* spec;
    PyObject* parameters;       // borrowed from the start-up record
    PyObject* traceback_code;   // borrowed from the start-up record
    PyObject* code;
    PyObject* globals;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* annotations;
    PyObject* dict;
    PyObject* weakrefs;
};

FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

constexpr std::size_t max_parameters = NameList{}.items.size();

PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    FunctionObject* fn = as_function(self);
    const FunctionSpec& spec = *fn->spec;
    // The common call: all arguments by position, held by the caller's tuple.
    if (kwargs == nullptr && PyTuple_GET_SIZE(args) == PyTuple_GET_SIZE(fn->parameters)) {
        return spec.body->run(&PyTuple_GET_ITEM(args, 0), fn->traceback_code);
    }
    Ref bound[max_parameters];
    if (!bind_arguments(spec, fn->parameters, args, kwargs, bound)) {
        if (spec.form == CallForm::keyword) add_traceback_entry(fn->traceback_code, spec.first_line);
        return nullptr;
    }
    PyObject* borrowed[max_parameters];
    for (std::size_t i = 0; i < max_parameters; ++i) borrowed[i] = bound[i].get();
    return spec.body->run(borrowed, fn->traceback_code);
}

PyObject* function_descr_get(PyObject* self, PyObject* instance, PyObject*) {
    if (instance == nullptr || instance == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* fn = as_function(self);
    Py_VISIT(fn->code);
    Py_VISIT(fn->globals);
    Py_VISIT(fn->name);
    Py_VISIT(fn->qualname);
    Py_VISIT(fn->module);
    Py_VISIT(fn->doc);
    Py_VISIT(fn->annotations);
    Py_VISIT(fn->dict);
    return 0;
}

int function_clear(PyObject* self) {
    FunctionObject* fn = as_function(self);
    Py_CLEAR(fn->code);
    Py_CLEAR(fn->globals);
    Py_CLEAR(fn->name);
    Py_CLEAR(fn->qualname);
    Py_CLEAR(fn->module);
    Py_CLEAR(fn->doc);
    Py_CLEAR(fn->annotations);
    Py_CLEAR(fn->dict);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    function_clear(self);
    PyObject_GC_Del(self);
}

PyObject* function_reduce(PyObject* self, PyObject*) {
    return Py_NewRef(as_function(self)->qualname);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// __name__ and __qualname__ take str only, as on Python functions.
int set_str(PyObject*& slot, PyObject* value, const char* what) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_SETREF(slot, Py_NewRef(value));
    return 0;
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_function(self)->name); }
int set_name(PyObject* self, PyObject* value, void*) {
    return set_str(as_function(self)->name, value, "__name__");
}
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_function(self)->qualname); }
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_str(as_function(self)->qualname, value, "__qualname__");
}
PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

PyObject* get_annotations(PyObject* self, void*) {
    FunctionObject* fn = as_function(self);
    if (fn->annotations == nullptr && (fn->annotations = PyDict_New()) == nullptr) return nullptr;
    return Py_NewRef(fn->annotations);
}
int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(self)->annotations, Py_XNewRef(value));
    return 0;
}

Ref runnable_code(const FunctionSpec& spec);

// __code__ is compiled on first use rather than at start-up: the compiler
// of some CPython versions (3.11, 3.12) crashes when an allocation fails,
// and an import must survive one.
PyObject* get_code(PyObject* self, void*) {
    FunctionObject* fn = as_function(self);
    if (fn->code == nullptr) {
        Ref code = runnable_code(*fn->spec);
        if (!code) return nullptr;
        fn->code = code.release();
    }
    return Py_NewRef(fn->code);
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__defaults__", get_none, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__closure__", get_none, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {"__globals__", T_OBJECT, offsetof(FunctionObject, globals), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyTypeObject function_type = [] {
    PyTypeObject t{};
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(&t), 1);
    t.tp_name = "klimora.Strahlkit.function";
    t.tp_basicsize = sizeof(FunctionObject);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR;
    t.tp_dealloc = function_dealloc;
    t.tp_repr = function_repr;
    t.tp_call = function_call;
    t.tp_traverse = function_traverse;
    t.tp_clear = function_clear;
    t.tp_weaklistoffset = offsetof(FunctionObject, weakrefs);
    t.tp_methods = function_methods;
    t.tp_members = function_members;
    t.tp_getset = function_getset;
    t.tp_descr_get = function_descr_get;
    t.tp_dictoffset = offsetof(FunctionObject, dict);
    return t;
}();

// A tuple of interned str made from a list of names.
Ref name_tuple(const NameList& first, const NameList& second = {}) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(first.size + second.size)));
    if (!tuple) return tuple;
    Py_ssize_t i = 0;
    for (const NameList* list : {&first, &second}) {
        for (const char* name : *list) {
            PyObject* s = PyUnicode_InternFromString(name);
            if (s == nullptr) return Ref();
            PyTuple_SET_ITEM(tuple.get(), i++, s);
        }
    }
    return tuple;
}

// The __code__ of a function: what introspection reads of a Python
// function's code (parameters, local names, file, first line) on code the
// running interpreter's own compiler made, so that running it (through
// types.FunctionType, exec or eval) is a plain Python call on any version:
// it raises TypeError, as the function's body is not Python code.
Ref runnable_code(const FunctionSpec& spec) {
    Ref varnames = name_tuple(spec.parameters, spec.further_names);
    if (!varnames) return Ref();
    const std::string qualified = std::string("klimora.Strahlkit.") + spec.name;
    std::string source = std::string("def ") + spec.name + "(";
    const char* separator = "";
    for (const char* parameter : spec.parameters) {
        source = source + separator + parameter;
        separator = ", ";
    }
    source += "):\n    raise TypeError('the code of " + qualified +
              " does not run on its own: call " + qualified + "')\n";
    Ref module_code = Ref::steal(Py_CompileString(source.c_str(), source_file_name, Py_file_input));
    if (!module_code) {
        // The parser gives up on a failed allocation without saying so.
        if (!PyErr_Occurred()) PyErr_NoMemory();
        return Ref();
    }
    Ref constants = Ref::steal(PyObject_GetAttrString(module_code.get(), "co_consts"));
    if (!constants) return Ref();
    PyObject* function_code = nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(constants.get()); ++i) {
        if (PyCode_Check(PyTuple_GET_ITEM(constants.get(), i))) {
            function_code = PyTuple_GET_ITEM(constants.get(), i);
        }
    }
    if (function_code == nullptr) {
        PyErr_SetString(PyExc_SystemError, "no code object in the compiled definition");
        return Ref();
    }
    Ref replace = Ref::steal(PyObject_GetAttrString(function_code, "replace"));
    Ref empty = Ref::steal(PyTuple_New(0));
    Ref changes = Ref::steal(Py_BuildValue("{sOsnsi}", "co_varnames", varnames.get(),
                                           "co_nlocals", PyTuple_GET_SIZE(varnames.get()),
                                           "co_firstlineno",
                                           spec.first_line));
    if (!replace || !empty || !changes) return Ref();
    return Ref::steal(PyObject_Call(replace.get(), empty.get(), changes.get()));
}

}  // namespace

bool make_function_code(const FunctionSpec& spec, FunctionCode& out) {
    if (out.parameters != nullptr) return true;
    if (PyType_Ready(&function_type) < 0) return false;
    const std::string qualified = std::string("klimora.Strahlkit.") + spec.name;
    for (NestedFunction* nested : spec.body->nested) {
        if (nested->traceback_code != nullptr) continue;
        nested->traceback_code =
            make_traceback_code((qualified + "." + nested->name).c_str(), nested->first_line);
        if (nested->traceback_code == nullptr) return false;
    }
    Ref traceback_code = Ref::steal(make_traceback_code(qualified.c_str(), spec.first_line));
    Ref parameters = name_tuple(spec.parameters);
    if (!traceback_code || !parameters) return false;
    out.parameters = parameters.release();
    out.traceback_code = traceback_code.release();
    return true;
}

PyObject* make_function(const FunctionSpec& spec, const FunctionCode& code, PyObject* module_name,
                        PyObject* globals) {
    Ref name = Ref::steal(PyUnicode_InternFromString(spec.name));
    Ref doc = spec.doc != nullptr ? Ref::steal(PyUnicode_FromString(spec.doc)) : Ref::borrow(Py_None);
    if (!name || !doc) return nullptr;
    FunctionObject* fn = PyObject_GC_New(FunctionObject, &function_type);
    if (fn == nullptr) return nullptr;
    fn->spec = &spec;
    fn->parameters = code.parameters;
    fn->traceback_code = code.traceback_code;
    fn->code = nullptr;   // made when first read
    fn->globals = Py_NewRef(globals);
    fn->name = Py_NewRef(name.get());
    fn->qualname = name.release();
    fn->module = Py_NewRef(module_name);
    fn->doc = doc.release();
    fn->annotations = nullptr;
    fn->dict = nullptr;
    fn->weakrefs = nullptr;
    PyObject_GC_Track(fn);
    return reinterpret_cast<PyObject*>(fn);
}

}  // namespace klimora
