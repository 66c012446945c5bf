// Module definition and start-up of plintor.model._kernels.
//
// The module holds its state process-wide, so it lives in one interpreter
// only and is initialised once: later imports get the same module object.
#define PLINTOR_IMPORT_NUMPY_API
#include "numpy_api.hpp"

#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <string>

#include "../kernels/dispatch.hpp"
#include "boundary.hpp"
#include "function.hpp"
#include "module.hpp"
#include "numpy_calls.hpp"
#include "pyref.hpp"

namespace plintor {

namespace {

constexpr const char module_doc[] =
    "Compiled HMM kernels for the contiguous tempo-lane grid.\n"
    "\n"
    "Two decoders over the same state space, sharing the interior/boundary split\n"
    "(:func:`_split_layout`): :func:`decode` is the offline Viterbi (MAP, log domain,\n"
    "backtracked); :class:`ForwardDecoder` is the streaming forward/filtering decode\n"
    "(linear domain, causal).\n"
    "\n"
    "Interior phase states have one predecessor, s-1, at log-prob 0 / probability 1,\n"
    "so phase advance is a stride-1 shift; only the few boundary states reduce over\n"
    "their predecessors. Single precision throughout.\n";

// The interpreter that first created the module, and the module once its
// exec step has succeeded (a strong reference held for the process).
std::int64_t owner_interpreter = -1;
PyObject *initialised_module = nullptr;

PyObject *kernels_create(PyObject *spec, PyModuleDef *)
{
    const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter == -1) return nullptr;
    if (owner_interpreter == -1) {
        owner_interpreter = interpreter;
    } else if (owner_interpreter != interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (initialised_module != nullptr) return Py_NewRef(initialised_module);
    PyRef name = PyRef::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    return PyModule_NewObject(name.get());
}

int warn_on_version_mismatch()
{
    const int major = static_cast<int>((Py_Version >> 24) & 0xff);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return 0;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime "
                            "version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, module_name, "does not match",
                            major, minor);
}

int register_in_sys_modules(PyObject *module)
{
    PyRef key = PyRef::steal(PyUnicode_FromString(module_name));
    if (!key) return -1;
    return PyDict_SetDefaultRef(PyImport_GetModuleDict(), key.get(), module, nullptr) < 0 ? -1 : 0;
}

// NumPy's own import facility checks the ABI and C-interface versions and
// the byte order.  Its failures become one ImportError, raised while the
// original is being handled so that the original stays visible as context.
int import_numpy(PyObject *module)
{
    PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
    if (!numpy) return -1;
    if (PyModule_AddObjectRef(module, "np", numpy.get()) < 0) return -1;
    if (_import_array() >= 0) return prepare_numpy_calls(numpy.get());
    PyObject *original = PyErr_GetRaisedException();
    if (!PyErr_GivenExceptionMatches(original, PyExc_Exception)) {
        PyErr_SetRaisedException(original);
        return -1;
    }
    PyErr_SetString(PyExc_ImportError, "numpy._core.multiarray failed to import");
    PyObject *replacement = PyErr_GetRaisedException();
    PyException_SetContext(replacement, original);
    PyErr_SetRaisedException(replacement);
    return -1;
}

// The build of the frame loops every call uses, chosen once per process.
const kernels::FrameLoops *chosen_frame_loops = nullptr;

constexpr const char isa_variable[] = "PLINTOR_KERNEL_ISA";

// The builds this processor runs, for the message that refuses another.
std::string runnable_builds()
{
    std::string names;
    for (const kernels::FrameLoops &build : kernels::frame_loop_builds()) {
        if (!build.runs_here()) continue;
        if (!names.empty()) names += ", ";
        names += build.isa;
    }
    return names;
}

// The widest build the processor runs, unless PLINTOR_KERNEL_ISA names
// another one, which tests and benchmarks do; a name that is no build, or
// a build the processor cannot run, fails the import.  An empty value
// names none.
int choose_frame_loops()
{
    if (chosen_frame_loops != nullptr) return 0;
    const char *forced = std::getenv(isa_variable);
    if (forced == nullptr || *forced == '\0') {
        chosen_frame_loops = &kernels::widest_frame_loops();
        return 0;
    }
    const kernels::FrameLoops *build = kernels::find_frame_loops(forced);
    if (build != nullptr && build->runs_here()) {
        chosen_frame_loops = build;
        return 0;
    }
    const char *problem = build == nullptr ? "names no build of the frame loops"
                                           : "names a build this processor cannot run";
    PyErr_Format(PyExc_ImportError, "%s='%s' %s; this processor runs: %s", isa_variable, forced,
                 problem, runnable_builds().c_str());
    return -1;
}

int intern_module_names()
{
    for (ModuleName *name : {&np_name, &split_layout_name}) {
        if (name->interned == nullptr) name->interned = PyUnicode_InternFromString(name->text);
        if (name->interned == nullptr) return -1;
    }
    return 0;
}

int exec_module(PyObject *module)
{
    if (initialised_module != nullptr) {
        if (module == initialised_module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module '_kernels' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    if (PyType_Ready(&KernelFunctionType) < 0) return -1;
    if (intern_module_names() < 0) return -1;
    if (warn_on_version_mismatch() < 0) return -1;
    if (choose_frame_loops() < 0) return -1;
    if (register_in_sys_modules(module) < 0) return -1;
    if (add_forward_decoder(module) < 0) return -1;
    if (PyModule_AddObjectRef(module, "__builtins__", PyEval_GetBuiltins()) < 0) return -1;
    if (import_numpy(module) < 0) return -1;
    if (add_split_layout(module) < 0) return -1;
    if (add_decode(module) < 0) return -1;
    if (add_forward_decoder_methods() < 0) return -1;
    initialised_module = Py_NewRef(module);
    return 0;
}

int kernels_exec(PyObject *module)
{
    return guarded("_kernels", [module] { return exec_module(module); });
}

PyMethodDef kernels_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot kernels_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(kernels_create)},
    {Py_mod_exec, reinterpret_cast<void *>(kernels_exec)},
    {0, nullptr},
};

PyModuleDef kernels_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_kernels",
    .m_doc = module_doc,
    .m_size = 0,
    .m_methods = kernels_methods,
    .m_slots = kernels_slots,
};

}  // namespace

const kernels::FrameLoops &frame_loops()
{
    return *chosen_frame_loops;
}

ModuleName np_name{.text = "np"};
ModuleName split_layout_name{.text = "_split_layout"};

PyObject *module_lookup(const ModuleName &name)
{
    PyObject *value = nullptr;
    if (initialised_module != nullptr &&
        PyDict_GetItemRef(PyModule_GetDict(initialised_module), name.interned, &value) != 0) {
        return value;
    }
    if (PyDict_GetItemRef(PyEval_GetBuiltins(), name.interned, &value) != 0) return value;
    PyErr_Format(PyExc_NameError, "name '%s' is not defined", name.text);
    return nullptr;
}

}  // namespace plintor

PyMODINIT_FUNC PyInit__kernels(void)
{
    return PyModuleDef_Init(&plintor::kernels_def);
}
