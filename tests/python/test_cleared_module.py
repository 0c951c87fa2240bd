import subprocess
import sys
import textwrap

# Clears the module's state with its own clear function, as the interpreter does while
# tearing modules down, then calls a class that outlived it.
SCRIPT = textwrap.dedent(
    """
    import ctypes
    import ovaline

    get_def = ctypes.pythonapi.PyModule_GetDef
    get_def.restype = ctypes.POINTER(ctypes.c_void_p)
    get_def.argtypes = [ctypes.py_object]
    # PyModuleDef: a two-word object head, m_init, m_index, m_copy, m_name, m_doc,
    # m_size, m_methods, m_slots, m_traverse, then m_clear.
    m_clear = get_def(ovaline)[11]
    fs = ovaline.PyFs()
    if m_clear:
        ctypes.CFUNCTYPE(ctypes.c_int, ctypes.py_object)(m_clear)(ovaline)
    try:
        ovaline.PyTerm(fs)
        print("no state to clear" if not m_clear else "constructed")
    except Exception as exc:
        print(type(exc).__name__, exc)
    """
)


def test_classes_that_outlive_the_module_state_raise_a_clear_error():
    out = subprocess.run([sys.executable, "-c", SCRIPT], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout in (
        "RuntimeError argument 'fs' cannot be checked: the ovaline module has been cleared\n",
        "no state to clear\n",
    )
