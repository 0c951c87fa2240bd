"""A short tour of ovaline, one function per part."""

from ovaline import PyFs, PyTerm


def tour_terminal():
    print("== terminal ==")
    fs = PyFs()
    term = PyTerm(fs)
    for line in [
        "mkdir docs",
        "touch docs/notes",
        "echo 'two  spaces' and\\ more # a comment",
        "cd docs",
        "pwd",
        "ls /",
        "cd /",
        "rm docs",
        "rm -r docs",
        "ls",
        "frobnicate",
    ]:
        print(f"$ {line}")
        try:
            output = term.exec(line)
        except ValueError as error:
            print(f"error: {error}")
            continue
        # Only ls and help end their output with a newline.
        if output:
            print(output, end="" if output.endswith("\n") else "\n")
    # The terminal and the PyFs share one filesystem.
    fs.mkdir("/made_by_pyfs")
    print("$ ls\n" + term.exec("ls"), end="")


def main():
    tour_terminal()


if __name__ == "__main__":
    main()
