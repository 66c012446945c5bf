"""Start-up of the extension module, its namespace and its function objects."""

import builtins
import inspect
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from graphs import chunk, decode_args, decoder_args

import plintor.model._kernels as kernels

MODULE_DOC = (
    "Compiled HMM kernels for the contiguous tempo-lane grid.\n\nTwo decoders over the same "
    "state space, sharing the interior/boundary split\n(:func:`_split_layout`): :func:`decode` "
    "is the offline Viterbi (MAP, log domain,\nbacktracked); :class:`ForwardDecoder` is the "
    "streaming forward/filtering decode\n(linear domain, causal).\n\nInterior phase states have "
    "one predecessor, s-1, at log-prob 0 / probability 1,\nso phase advance is a stride-1 shift; "
    "only the few boundary states reduce over\ntheir predecessors. Single precision throughout.\n"
)

SPLIT_LAYOUT_DOC = (
    "Interior/boundary split + constant-column runs shared by both kernels.\n\n    A state is "
    "*deterministic* (a plain phase advance) when its single\n    predecessor is ``s-1`` with "
    "weight ``identity`` \u2014 log-prob 0 for Viterbi,\n    probability 1 for the forward "
    "decode; the rest are *boundaries* that reduce\n    over their predecessors. ``weight`` is "
    "the per-edge log-prob or probability;\n    the gathered boundary weights come back as "
    "float32. Returns the layout arrays\n    (``bnd_orig`` is the boundary predecessors for "
    "Viterbi backtracking; the\n    forward decode ignores it)."
)

STANDARD_ATTRIBUTES = {
    "__name__",
    "__doc__",
    "__loader__",
    "__file__",
    "__package__",
    "__spec__",
    "__builtins__",
}


def run_python(code: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=120,
        check=False,
    )


def test_namespace_holds_exactly_the_entry_points_and_numpy():
    names = set(vars(kernels)) - STANDARD_ATTRIBUTES
    assert names <= {"np", "_split_layout", "decode", "ForwardDecoder"}
    assert {"np", "_split_layout"} <= names
    assert kernels.np is np
    assert kernels.__doc__ == MODULE_DOC
    assert kernels.__name__ == "plintor.model._kernels"


class TestNamespaceLookups:
    """The entry points find `np` and `_split_layout` in the namespace as it is at each call."""

    def test_a_rebound_name_is_used_and_the_original_restored(self, monkeypatch):
        decoder = kernels.ForwardDecoder(**decoder_args())
        monkeypatch.setattr(kernels, "np", None)
        with pytest.raises(AttributeError):
            decoder.step(chunk(2))
        monkeypatch.undo()
        assert decoder.step(chunk(2)).dtype == np.uint32

    def test_a_removed_name_falls_back_to_the_builtins(self, monkeypatch):
        decoder = kernels.ForwardDecoder(**decoder_args())
        monkeypatch.delattr(kernels, "np")
        with pytest.raises(NameError, match=r"^name 'np' is not defined$"):
            decoder.step(chunk(2))
        with pytest.raises(NameError, match=r"^name 'np' is not defined$"):
            kernels.decode(**decode_args())
        monkeypatch.setattr(builtins, "np", np, raising=False)
        assert decoder.step(chunk(2)).shape == (2,)

    def test_a_removed_split_layout_is_refused_by_name(self, monkeypatch):
        monkeypatch.delattr(kernels, "_split_layout")
        with pytest.raises(NameError, match=r"^name '_split_layout' is not defined$"):
            kernels.ForwardDecoder(**decoder_args())


def test_only_the_init_function_is_exported():
    result = subprocess.run(
        ["nm", "-D", "--defined-only", kernels.__file__],
        capture_output=True,
        text=True,
        check=False,
    )
    if result.returncode != 0:
        pytest.skip("nm is not available")
    symbols = [line.split()[-1] for line in result.stdout.splitlines() if " T " in line]
    assert symbols == ["PyInit__kernels"]


class TestFunctionObjects:
    def test_split_layout_attributes(self):
        func = kernels._split_layout
        assert func.__name__ == func.__qualname__ == "_split_layout"
        assert func.__module__ == "plintor.model._kernels"
        assert func.__doc__ == SPLIT_LAYOUT_DOC
        assert func.__defaults__ is None
        assert str(inspect.signature(func)) == "(pred, ptr, weight, columns, identity)"
        kinds = {p.kind for p in inspect.signature(func).parameters.values()}
        assert kinds == {inspect.Parameter.POSITIONAL_OR_KEYWORD}

    def test_called_with_a_keyword_dict(self):
        args = {"pred": [0], "ptr": [0, 1], "weight": [0.0], "columns": [0], "identity": 0.0}
        assert list(kernels._split_layout(**args)["bnd_state"]) == [0]

    def test_binds_as_a_method_in_a_class(self):
        class Holder:
            split = kernels._split_layout

        assert Holder.split is kernels._split_layout
        bound = Holder().split
        assert bound.__func__ is kernels._split_layout
        with pytest.raises(TypeError, match=r"takes exactly 5 positional arguments \(6 given\)"):
            bound([0], [0, 1], [0.0], [0], 0.0)


class TestImport:
    def test_reimport_gives_the_same_module_object(self):
        code = """
            import sys
            import plintor.model._kernels as first
            np_before, split_before = first.np, first._split_layout
            del sys.modules["plintor.model._kernels"]
            import plintor.model._kernels as second
            assert second is first
            assert second.np is np_before and second._split_layout is split_before
            assert sys.modules["plintor.model._kernels"] is first
        """
        result = run_python(code)
        assert result.returncode == 0, result.stderr

    def test_the_interpreter_it_was_built_for_imports_it_without_a_warning(self):
        # The module compares the running interpreter's version with the one
        # it was compiled for, whichever that is.
        code = """
            import warnings
            warnings.simplefilter("error")
            import plintor.model._kernels
        """
        result = run_python(code)
        assert result.returncode == 0, result.stderr

    def test_exec_on_a_second_module_object_is_refused(self):
        code = """
            import importlib.util
            spec = importlib.util.find_spec("plintor.model._kernels")
            first = importlib.util.module_from_spec(spec)
            second = importlib.util.module_from_spec(spec)
            assert first is not second
            spec.loader.exec_module(first)
            try:
                spec.loader.exec_module(second)
            except RuntimeError as exc:
                print(exc)
            assert importlib.util.module_from_spec(spec) is first
        """
        result = run_python(code)
        assert result.returncode == 0, result.stderr
        assert result.stdout == (
            "Module '_kernels' has already been imported. Re-initialisation is not supported.\n"
        )

    def test_missing_numpy_fails_the_import_with_the_importers_error(self):
        code = """
            import sys
            sys.modules["numpy"] = None
            try:
                import plintor.model._kernels
            except ModuleNotFoundError as exc:
                print(type(exc).__name__)
        """
        result = run_python(code)
        assert result.stdout == "ModuleNotFoundError\n", result.stderr

    def test_broken_numpy_c_interface_becomes_import_error_then_import_recovers(self):
        code = """
            import sys, types
            import numpy
            # NumPy 2 keeps the C interface in numpy._core, NumPy 1 in numpy.core.
            names = ["numpy._core._multiarray_umath", "numpy.core._multiarray_umath"]
            real = {name: sys.modules.get(name) for name in names}
            sys.modules.update(dict.fromkeys(names, types.ModuleType("fake")))
            try:
                import plintor.model._kernels
            except ImportError as exc:
                print(exc)
                print(type(exc.__context__).__name__)
            for name, module in real.items():
                if module is None:
                    del sys.modules[name]
                else:
                    sys.modules[name] = module
            sys.modules.pop("plintor.model._kernels", None)
            import plintor.model._kernels as kernels
            print(sorted(kernels._split_layout([0], [0, 1], [0.0], [0], 0.0)))
        """
        result = run_python(code)
        lines = result.stdout.splitlines()
        assert lines[:2] == ["numpy._core.multiarray failed to import", "AttributeError"], (
            result.stderr
        )
        assert "bnd_state" in lines[2]

    def test_second_interpreter_is_refused(self):
        code = """
            import re
            import plintor.model._kernels
            try:
                import _interpreters
            except ImportError:  # before Python 3.13
                import _xxsubinterpreters as interpreters
                interp = interpreters.create(isolated=False)
                try:
                    interpreters.run_string(interp, "import plintor.model._kernels")
                except interpreters.RunFailedError as failure:
                    # "<class 'ImportError'>: message" on 3.11, "ImportError: message" on 3.12
                    pattern = r"(?:<class ')?(\\w+)(?:'>)?: (.*)"
                    print(*re.fullmatch(pattern, str(failure)).groups(), sep="\\n")
            else:
                interp = _interpreters.create("legacy")
                failure = _interpreters.exec(interp, "import plintor.model._kernels")
                print(failure.type.__name__)
                print(failure.msg)
        """
        result = run_python(code)
        assert result.stdout.splitlines() == [
            "ImportError",
            "Interpreter change detected - this module can only be loaded into one interpreter "
            "per process.",
        ], result.stderr
