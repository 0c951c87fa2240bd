import subprocess
import sys
import textwrap

# Clears the module's state through its own clear function, as the interpreter does
# while tearing modules down, then uses classes that outlived it.
SCRIPT = textwrap.dedent(
    """
    import ctypes
    import ovaline

    class ModuleDef(ctypes.Structure):
        _fields_ = [("head", ctypes.c_byte * (ctypes.sizeof(ctypes.c_ssize_t) * 2)),
                    ("m_init", ctypes.c_void_p), ("m_index", ctypes.c_ssize_t),
                    ("m_copy", ctypes.c_void_p), ("m_name", ctypes.c_char_p),
                    ("m_doc", ctypes.c_char_p), ("m_size", ctypes.c_ssize_t),
                    ("m_methods", ctypes.c_void_p), ("m_slots", ctypes.c_void_p),
                    ("m_traverse", ctypes.c_void_p), ("m_clear", ctypes.c_void_p),
                    ("m_free", ctypes.c_void_p)]

    get_def = ctypes.pythonapi.PyModule_GetDef
    get_def.restype = ctypes.POINTER(ModuleDef)
    get_def.argtypes = [ctypes.py_object]
    module_def = get_def(ovaline).contents
    assert module_def.m_name == b"ovaline"
    if not module_def.m_clear:
        print("no state to clear")
        raise SystemExit(0)
    fs, term_type = ovaline.PyFs(), ovaline.PyTerm
    ctypes.CFUNCTYPE(ctypes.c_int, ctypes.py_object)(module_def.m_clear)(ovaline)
    try:
        term_type(fs)
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
