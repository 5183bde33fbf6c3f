"""An internal failure survives pickling: by reference to pyo3_runtime, in
pickle itself, in process pools and in a Dask cluster; the model layer turns
it into a RuntimeError that multiprocessing.Pool reports too."""

import concurrent.futures
import multiprocessing
import os
import pickle
import subprocess
import sys
import textwrap

import pytest

import ostrel
from conftest import IS_PYPY
from samples import PANICS

# A failing call (an absorption list shorter than the emissivity) and its message.
FAILING = (ostrel.rad_trans_blob, PANICS["rad_trans_blob"][0])
MESSAGE = "array index out of bounds"


def failure():
    function, args = FAILING
    try:
        function(*args)
    except BaseException as e:  # noqa: BLE001 - the failure is what is wanted
        return e
    raise AssertionError("no failure")


def expect_panic(excinfo_value):
    import pyo3_runtime

    assert type(excinfo_value) is pyo3_runtime.PanicException
    assert excinfo_value.args == (MESSAGE,)


def test_pickle_round_trip_by_reference():
    e = failure()
    t = type(e)
    assert (t.__module__, t.__qualname__, t.__bases__) == ("pyo3_runtime", "PanicException", (BaseException,))
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(t, protocol)) is t
        back = pickle.loads(pickle.dumps(e, protocol))
        expect_panic(back)
        assert str(back) == str(e)
    assert b"pyo3_runtime" in pickle.dumps(e) and b"PanicException" in pickle.dumps(e)


def test_the_runtime_module_is_importable():
    import pyo3_runtime
    from pyo3_runtime import PanicException

    assert PanicException is type(failure())
    assert sys.modules["pyo3_runtime"] is pyo3_runtime
    assert "PanicException" in vars(pyo3_runtime)
    with pytest.raises(AttributeError, match="^module 'pyo3_runtime' has no attribute 'Other'$"):
        pyo3_runtime.Other  # noqa: B018


def run_python(code):
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=120, env=os.environ.copy())
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_a_process_without_any_failure_loads_a_pickled_one():
    # The receiving end of a pool has imported ostrel but may never have
    # failed: the type is created when pickle asks for it.
    pickled = pickle.dumps(failure())
    out = run_python(f"""
        import pickle, sys
        import ostrel
        runtime = sys.modules["pyo3_runtime"]
        before = "PanicException" in vars(runtime)
        e = pickle.loads({pickled!r})
        assert type(e) is runtime.PanicException and e.args == ({MESSAGE!r},), e
        assert type(e).__bases__ == (BaseException,)
        print(before, "PanicException" in vars(runtime))
    """)
    assert out.split() == ["False", "True"]


@pytest.mark.parametrize("own", ["empty module", "module with PanicException", "module with __getattr__",
                                 "not a module"])
def test_a_pyo3_runtime_already_present_is_kept(own):
    out = run_python(f"""
        import pickle, sys, types
        own = {own!r}
        if own == "not a module":
            runtime = object()
        else:
            runtime = types.ModuleType("pyo3_runtime")
            runtime.marker = 1
        if own == "module with PanicException":
            class PanicException(Exception):
                pass
            runtime.PanicException = PanicException
        if own == "module with __getattr__":
            runtime.__getattr__ = lambda name: (_ for _ in ()).throw(AttributeError(name))
        sys.modules["pyo3_runtime"] = runtime
        import ostrel
        assert sys.modules["pyo3_runtime"] is runtime
        try:
            ostrel.rad_trans_blob(1.0, [1.0, 2.0], [1.0])
        except BaseException as e:
            failure = e
        if own == "empty module":
            assert runtime.PanicException is type(failure) and runtime.marker == 1
            assert pickle.loads(pickle.dumps(failure)).args == failure.args
        elif own == "module with PanicException":
            assert runtime.PanicException is PanicException
        else:
            assert "PanicException" not in getattr(runtime, "__dict__", {{}})
        print("kept")
    """)
    assert out.split() == ["kept"]


@pytest.mark.parametrize("method", ["fork", "spawn"])
def test_process_pool_executor_reports_the_failure(method):
    if method not in multiprocessing.get_all_start_methods():
        pytest.skip(f"no {method} start method")
    if IS_PYPY and method == "spawn":
        pytest.skip("PyPy 3.9's ProcessPoolExecutor fails to start spawned workers (AttributeError in submit)")
    function, args = FAILING
    context = multiprocessing.get_context(method)
    with concurrent.futures.ProcessPoolExecutor(max_workers=1, mp_context=context) as pool:
        with pytest.raises(BaseException) as excinfo:
            pool.submit(function, *args).result(timeout=120)
        expect_panic(excinfo.value)
        # The worker survives and keeps computing.
        assert pool.submit(ostrel.rad_trans_blob, 3.0, [1.0], [0.0]).result(timeout=120) == [1.0]


@pytest.mark.native_only
def test_dask_local_cluster_reports_the_failure():
    distributed = pytest.importorskip("distributed")
    function, args = FAILING
    with distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=False,
                                  dashboard_address=":0") as cluster, distributed.Client(cluster) as client:
        future = client.submit(function, *args, pure=False)
        distributed.wait(future, timeout=120)
        assert future.status == "error"
        # Dask pickles a task's exception and loads it again before sending
        # it; an unpicklable one arrives as a plain Exception holding its repr.
        # (A synchronous future.result() never returns for any BaseException:
        # Dask's client passes on only Exception subclasses.)
        expect_panic(future.exception(timeout=120))
        assert client.submit(ostrel.rad_trans_blob, 3.0, [1.0], [0.0]).result(timeout=120) == [1.0]


def test_model_layer_failures_reach_a_multiprocessing_pool():
    # multiprocessing.Pool's workers catch only Exception; the model layer
    # turns the kernel's failure into a RuntimeError, which the pool reports.
    from ostrel_models import kernels

    context = multiprocessing.get_context("fork" if "fork" in multiprocessing.get_all_start_methods() else None)
    with context.Pool(1) as pool:
        with pytest.raises(RuntimeError, match=f"^blob_intensity: {MESSAGE}$"):
            pool.starmap(kernels.blob_intensity, [FAILING[1]], chunksize=1)
        assert pool.starmap(kernels.blob_intensity, [(3.0, [1.0], [0.0])]) == [[1.0]]
