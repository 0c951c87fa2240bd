"""What the benchmarks share about the tools they measure beside ovaline."""


def fresh_fsspec_memory():
    """An fsspec memory filesystem with a store of its own: the class keeps one store
    for every instance unless told otherwise."""
    from fsspec.implementations.memory import MemoryFileSystem

    fs = MemoryFileSystem(skip_instance_cache=True)
    fs.store = {}
    fs.pseudo_dirs = [""]
    return fs
