class PyTerm:
    """
    A structure representing a simple terminal
    """

    def __init__(self, fs: PyFs) -> None: ...
    def exec(self, command: str) -> str:
        """
        Execute a command in the terminal.
        """
