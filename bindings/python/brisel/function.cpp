// The module's function objects: a nanobind function behind a callable that has an
// attribute dictionary, so the functions carry __annotations__ like Python ones.
// Calls are forwarded by vectorcall, so the wrapper costs one indirect call.
#include "brisel/binding.hpp"

#include <cstddef>
#include <structmember.h>

namespace brisel::py {

namespace {

struct FunctionObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    PyObject* impl;
    PyObject* dict;
};

FunctionObject* as_function(PyObject* self) {
    return reinterpret_cast<FunctionObject*>(self);
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    return PyObject_Vectorcall(as_function(self)->impl, args, nargsf, kwnames);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_function(self)->impl);
    Py_VISIT(as_function(self)->dict);
    return 0;
}

int function_clear(PyObject* self) {
    Py_CLEAR(as_function(self)->impl);
    Py_CLEAR(as_function(self)->dict);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    function_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* function_repr(PyObject* self) {
    PyObject* dict = as_function(self)->dict;
    PyObject* name = dict ? PyDict_GetItemString(dict, "__name__") : nullptr;
    if (!name) return PyUnicode_FromString("<built-in function>");
    return PyUnicode_FromFormat("<built-in function %S>", name);
}

// Pickled by name, like builtin functions: the unpickler looks it up in __module__.
PyObject* function_reduce(PyObject* self, PyObject*) {
    PyObject* dict = as_function(self)->dict;
    PyObject* name = dict ? PyDict_GetItemString(dict, "__qualname__") : nullptr;
    if (!name) {
        PyErr_SetString(PyExc_TypeError, "cannot pickle a function without a name");
        return nullptr;
    }
    Py_INCREF(name);
    return name;
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET,
     static_cast<Py_ssize_t>(offsetof(FunctionObject, vectorcall)), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, static_cast<Py_ssize_t>(offsetof(FunctionObject, dict)),
     READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_methods, function_methods},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "virtual_slave.brisel.function",
    static_cast<int>(sizeof(FunctionObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL,
    function_slots,
};

} // namespace

void init_function_type(nb::module_&) {
    PyObject* type = PyType_FromSpec(&function_spec);
    if (!type) raise_pending();
    // Only the module creates these objects: an instance made by calling the type
    // would have nothing to forward to.
    reinterpret_cast<PyTypeObject*>(type)->tp_new = nullptr;
    state().function_type = type;
}

nb::object make_function(nb::handle impl, const char* name, const char* doc,
                         std::initializer_list<Annotation> annotations) {
    nb::dict attrs;
    attrs["__name__"] = name;
    attrs["__qualname__"] = name;
    attrs["__module__"] = "virtual_slave.brisel";
    attrs["__doc__"] = doc ? nb::object(nb::str(doc)) : nb::none();
    nb::dict annotation_dict;
    for (const Annotation& a : annotations)
        annotation_dict[a.name] = a.type;
    attrs["__annotations__"] = annotation_dict;

    auto* type = reinterpret_cast<PyTypeObject*>(state().function_type);
    FunctionObject* fn = PyObject_GC_New(FunctionObject, type);
    if (!fn) raise_pending();
    fn->vectorcall = function_vectorcall;
    fn->impl = impl.inc_ref().ptr();
    fn->dict = attrs.release().ptr();
    PyObject_GC_Track(fn);
    return nb::steal(reinterpret_cast<PyObject*>(fn));
}

} // namespace brisel::py
