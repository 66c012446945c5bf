#include "function.hpp"

#include <cstddef>

#include "boundary.hpp"
#include "module.hpp"
#include "pyref.hpp"

namespace plintor {

namespace {

PyObject *kernel_function_vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf,
                                     PyObject *kwnames)
{
    auto *func = reinterpret_cast<KernelFunction *>(callable);
    return guarded(func->def->qualname, [&] {
        return func->def->parser(func, args, PyVectorcall_NARGS(nargsf), kwnames);
    });
}

void kernel_function_dealloc(PyObject *self)
{
    auto *func = reinterpret_cast<KernelFunction *>(self);
    Py_XDECREF(func->name);
    Py_XDECREF(func->qualname);
    Py_XDECREF(func->module);
    Py_XDECREF(func->doc);
    Py_XDECREF(func->defaults);
    Py_TYPE(self)->tp_free(self);
}

PyObject *kernel_function_repr(PyObject *self)
{
    auto *func = reinterpret_cast<KernelFunction *>(self);
    return PyUnicode_FromFormat("<function %U at %p>", func->qualname, self);
}

// Functions stored in a class become bound methods when read from an
// instance, and stay plain functions when read from the class.
PyObject *kernel_function_descr_get(PyObject *self, PyObject *obj, PyObject *)
{
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject *make_parameter(PyObject *parameter_class, PyObject *kind, const char *name,
                         PyObject *default_value)
{
    PyRef args = PyRef::steal(Py_BuildValue("(sO)", name, kind));
    if (!args) return nullptr;
    PyRef kwargs = PyRef::steal(PyDict_New());
    if (!kwargs) return nullptr;
    if (default_value != nullptr &&
        PyDict_SetItemString(kwargs.get(), "default", default_value) < 0) {
        return nullptr;
    }
    return PyObject_Call(parameter_class, args.get(), kwargs.get());
}

// inspect.Signature of the parameters, the instance included for methods.
PyObject *kernel_function_get_signature(PyObject *self, void *)
{
    auto *func = reinterpret_cast<KernelFunction *>(self);
    const Signature &sig = func->def->signature;
    PyRef inspect = PyRef::steal(PyImport_ImportModule("inspect"));
    if (!inspect) return nullptr;
    PyRef parameter_class = PyRef::steal(PyObject_GetAttrString(inspect.get(), "Parameter"));
    if (!parameter_class) return nullptr;
    PyRef kind =
        PyRef::steal(PyObject_GetAttrString(parameter_class.get(), "POSITIONAL_OR_KEYWORD"));
    if (!kind) return nullptr;
    PyRef parameters = PyRef::steal(PyList_New(0));
    if (!parameters) return nullptr;
    if (func->def->is_method) {
        PyRef parameter =
            PyRef::steal(make_parameter(parameter_class.get(), kind.get(), "self", nullptr));
        if (!parameter || PyList_Append(parameters.get(), parameter.get()) < 0) return nullptr;
    }
    for (Py_ssize_t i = 0; i < sig.size(); ++i) {
        PyObject *default_value = kernel_function_default(func, i);
        PyRef parameter = PyRef::steal(
            make_parameter(parameter_class.get(), kind.get(), sig.params[i], default_value));
        if (!parameter || PyList_Append(parameters.get(), parameter.get()) < 0) return nullptr;
    }
    return PyObject_CallMethod(inspect.get(), "Signature", "O", parameters.get());
}

PyMemberDef kernel_function_members[] = {
    {"__name__", Py_T_OBJECT_EX, offsetof(KernelFunction, name), Py_READONLY, nullptr},
    {"__qualname__", Py_T_OBJECT_EX, offsetof(KernelFunction, qualname), Py_READONLY, nullptr},
    {"__module__", Py_T_OBJECT_EX, offsetof(KernelFunction, module), Py_READONLY, nullptr},
    {"__doc__", Py_T_OBJECT_EX, offsetof(KernelFunction, doc), Py_READONLY, nullptr},
    {"__defaults__", Py_T_OBJECT_EX, offsetof(KernelFunction, defaults), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef kernel_function_getset[] = {
    {"__signature__", kernel_function_get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject KernelFunctionType = {
    .ob_base = {PyObject_HEAD_INIT(nullptr) 0},
    .tp_name = "plintor.model._kernels.kernel_function",
    .tp_basicsize = sizeof(KernelFunction),
    .tp_dealloc = kernel_function_dealloc,
    .tp_vectorcall_offset = offsetof(KernelFunction, vectorcall),
    .tp_repr = kernel_function_repr,
    .tp_call = PyVectorcall_Call,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
                Py_TPFLAGS_IMMUTABLETYPE,
    .tp_doc = "Function of the compiled decoding kernels.",
    .tp_members = kernel_function_members,
    .tp_getset = kernel_function_getset,
    .tp_descr_get = kernel_function_descr_get,
};

PyObject *kernel_function_new(FunctionDef *def, PyObject *defaults)
{
    if (intern_signature(def->signature) < 0) return nullptr;
    PyRef self = PyRef::steal(
        reinterpret_cast<PyObject *>(PyObject_New(KernelFunction, &KernelFunctionType)));
    if (!self) return nullptr;
    auto *func = reinterpret_cast<KernelFunction *>(self.get());
    func->vectorcall = kernel_function_vectorcall;
    func->def = def;
    func->name = PyUnicode_FromString(def->name);
    func->qualname = PyUnicode_FromString(def->qualname);
    func->module = PyUnicode_FromString(module_name);
    func->doc = def->doc != nullptr ? PyUnicode_FromString(def->doc) : Py_NewRef(Py_None);
    func->defaults = Py_NewRef(defaults != nullptr ? defaults : Py_None);
    if (!func->name || !func->qualname || !func->module || !func->doc) return nullptr;
    return self.release();
}

PyObject *kernel_function_default(const KernelFunction *func, Py_ssize_t index)
{
    if (!PyTuple_Check(func->defaults)) return nullptr;
    const Py_ssize_t num_params = func->def->signature.size();
    const Py_ssize_t first = num_params - PyTuple_GET_SIZE(func->defaults);
    return index >= first ? PyTuple_GET_ITEM(func->defaults, index - first) : nullptr;
}

int check_method_self(const KernelFunction *func, PyTypeObject *type, PyObject *const *args,
                      Py_ssize_t nargs)
{
    if (nargs == 0) {
        PyErr_Format(PyExc_TypeError, "unbound method %U() needs an instance of '%s' first",
                     func->qualname, type->tp_name);
        return -1;
    }
    if (!PyObject_TypeCheck(args[0], type)) {
        PyErr_Format(PyExc_TypeError, "%U() requires a '%s' object but received a '%s'",
                     func->qualname, type->tp_name, Py_TYPE(args[0])->tp_name);
        return -1;
    }
    return 0;
}

}  // namespace plintor
