"""The shell mode against /bin/bash with GNU coreutils and grep.

The same tree is built in a PyFs and in a temporary directory, the same generated line
runs in both, and stdout, the exit status and the resulting tree must agree. Error
texts are not compared: bash prefixes its own with "bash: line 1:".

Where the shell mode differs on purpose the generator leaves the case out:
- pwd, absolute paths and `cd ..` above the start: the real directory lives under a
  temporary path, while the tree's root is its own parent;
- `find` and `grep -r` walk directories in name order, GNU tools in the order the
  directory returns entries, so their output is sorted before comparing;
- `wc` on its standard input pads columns to 7 even when the input is a redirected
  file; `cat f >> f` appends one copy where GNU cat refuses;
- a directory's size: stat gives 0 where a real directory has its block size, so
  `stat -c %s` is asked of files only;
- `tail -n 0` of a missing file succeeds in GNU tail without opening it;
- a pipeline's stages run one after another, so racy lines such as `cat f | tee f`
  are left out;
- `cp -r d d` (or into a directory below d) copies nothing, where GNU cp makes the copy
  inside the source and then reports that it cannot.
"""

import os
import shutil
import subprocess

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from ovaline import PyFs, PyTerm

BASH = shutil.which("bash") or "/bin/bash"
pytestmark = pytest.mark.skipif(not os.path.exists(BASH), reason="needs /bin/bash")

TREE = {
    "a.txt": "apple pie\nbanana split\ncherry\napple\n",
    "b.txt": "10 ten\n9 nine\n10 ten\nx ex\n100 hundred\n",
    ".hidden": "secret\n",
    "d/c.md": "# title\nsome text\n",
    "d/e/f.txt": "deep apple\n",
    "d/e/g.txt": "",
}

FILES = ["a.txt", "b.txt", "d/c.md", "d/e/f.txt", "d/e/g.txt", "nope", "new.txt"]
DIRS = ["d", "d/e", "nope", "."]
NEW_DIRS = ["n", "n/m", "d/n", "a.txt/x"]
PATTERNS = ["an", "^a", "e$", "[0-9]", "a.*e", "zzz", "apple"]
GLOBS = ["*.txt", "d/*", "?.txt", "*.none", "d/*/*", "*", ".*", "[ab].txt", "d/e/[!f]*"]
WORDS = ["hello", "'two  words'", '"$X"', "$X", "'$X'", "a\\ b", '""'] + GLOBS


def build_pyfs():
    fs = PyFs()
    for path, text in TREE.items():
        parts = path.split("/")
        for i in range(1, len(parts)):
            try:
                fs.mkdir("/" + "/".join(parts[:i]))
            except ValueError:
                pass
        fs.touch("/" + path)
        with fs.open("/" + path, "w") as handle:
            handle.write(text.encode())
    return fs


def build_real(root):
    for path, text in TREE.items():
        full = os.path.join(root, path)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "w") as f:
            f.write(text)


def pyfs_snapshot(fs, path=""):
    files, dirs = fs.listdir(path or "/")
    snap = {}
    for name in files:
        with fs.open(f"{path}/{name}", "r") as handle:
            snap[f"{path}/{name}"] = handle.read(1 << 20).decode()
    for name in dirs:
        snap[f"{path}/{name}"] = None
        snap.update(pyfs_snapshot(fs, f"{path}/{name}"))
    return snap


def real_snapshot(root):
    snap = {}
    for here, dirs, files in os.walk(root):
        rel = here[len(root) :]
        for name in dirs:
            snap[f"{rel}/{name}"] = None
        for name in files:
            with open(os.path.join(here, name)) as f:
                snap[f"{rel}/{name}"] = f.read()
    return snap


one = st.sampled_from


def copies_into_itself(source, destination):
    return source in DIRS and (destination == source or destination.startswith(source + "/"))

SOURCES = st.one_of(
    st.builds("cat {}".format, one(FILES)),
    st.builds("cat {} 2>&1".format, one(FILES)),
    st.builds(
        "grep {} '{}' {}".format, one(["", "-i", "-v", "-n", "-c", "-E", "-F", "-vc"]),
        one(PATTERNS), one(FILES + GLOBS[:3]),
    ),
    st.builds("grep -r{} '{}' {} | sort".format, one(["", "n", "c", "l"]), one(PATTERNS), one(DIRS)),
    st.builds("head -n {} {}".format, one(["1", "2", "-1", "0"]), one(FILES)),
    st.builds("tail -n {} {}".format, one(["1", "3", "+2"]), one(FILES)),
    st.builds("head -c {} {}".format, one(["3", "100"]), one(FILES)),
    st.builds("wc {} {}".format, one(["", "-l", "-w", "-c", "-lw"]), one(FILES[:5])),
    st.builds("wc -l {} {}".format, one(FILES), one(FILES)),
    st.builds("sort {} {}".format, one(["", "-r", "-n", "-u", "-rn", "-nu"]), one(FILES[:2])),
    st.builds("cut -d ' ' -f {} {}".format, one(["1", "2", "1,2", "2-", "-1"]), one(FILES[:2])),
    st.builds("echo {} {}".format, one(WORDS), one(WORDS)),
    st.builds("ls {}".format, one(["", "d", "d/e", "nope", "-a d"])),
    st.builds("find {} -name '{}' | sort".format, one(DIRS), one(["*.txt", "e", "*"])),
    st.builds("find {} -type {} | sort".format, one(DIRS), one(["f", "d"])),
    st.builds("find . -maxdepth {} | sort".format, one(["0", "1", "2"])),
    one(["true", "false", "X=a.txt", "export X=d/e", "cat", "uniq -c b.txt", "stat -c '%n %s %F' a.txt d/e/g.txt", "stat -c '%n %F' d"]),
)
CHANGES = st.one_of(
    st.builds("mkdir {} {}".format, one(["", "-p"]), one(NEW_DIRS + DIRS[:2])),
    st.builds("touch {}".format, one(FILES)),
    st.builds("rm {} {}".format, one(["", "-f", "-r", "-rf"]), one(FILES + DIRS[:2])),
    st.builds("echo {} > {}".format, one(WORDS), one(FILES + ["d"])),
    st.builds("echo {} >> {}".format, one(WORDS), one(FILES)),
    st.builds("cat {} > {}".format, one(FILES), one(FILES)),
    st.builds("sort < {} > {}".format, one(FILES[:2]), one(FILES)),
    st.builds("cd {}".format, one(DIRS + ["d/e/.."])),
    st.builds("mv {} {}".format, one(FILES + DIRS[:2]), one(FILES + DIRS + ["n", "d/n"])),
    st.builds("cp {} {} {}".format, one(["", "-r"]), one(FILES + DIRS[:2]), one(FILES + DIRS + ["n"])).filter(
        lambda line: not (line.split()[1:2] == ["-r"] and copies_into_itself(*line.split()[2:4]))
    ),
)
NUMBERS = ["0", "1", "3"]
ARITH = ["1+2*3", "(1+2)*3", "7/2", "-7%3", "2**8", "1<2 && 3>4", "5 ? 6 : 7", "x=4, x*x",
         "0x1f + 010", "~0", "1 << 3 | 1"]
VALUES = ["a.tar.gz", "/x/y/z.txt", "plain", "", "a b"]
EXPANSIONS = ["${x%.*}", "${x%%.*}", "${x#*.}", "${x##*/}", "${#x}", "${x:-dflt}", "${x-dflt}",
              "${x:+alt}", "${x/a/A}", "${x//a/A}", "${x:1:3}", "${x^^}", "\"$x\"", "$x",
              "\"${x##*/}\"", "\"${x%.*}|${x/[ab]/-}\""]
CONDITIONS = ["true", "false", "[ -f a.txt ]", "[ -d d ]", "[ -s d/e/g.txt ]", "[ -e nope ]",
              "[ 3 -lt 10 ]", "[ abc = abc ]", "[ -z '' ]", "[[ a.txt == *.txt ]]",
              "[[ b == a* || -d d/e ]]", "[[ ! -f d ]]", "[[ abc =~ ^a(b)c$ ]]",
              "grep apple a.txt > /dev/null", "(( 2 > 1 ))", "test 2 -ge 3"]
FORMATS = ["'%s\\n' a b c", "'%5s|%-3d|\\n' x 4", "'%x %o %c\\n' 255 8 zed",
           "'%03d\\n' 7 12", "'%s=%s\\n' k v only", "'%%\\n'", "'%.2s\\n' abcdef"]
GRAMMAR = st.one_of(
    st.builds("if {}; then echo yes; else echo no; fi".format, one(CONDITIONS)),
    st.builds("{} && echo yes || echo no".format, one(CONDITIONS)),
    st.builds("for x in {} {}; do echo \"[$x]\"; done".format, one(WORDS), one(WORDS)),
    st.builds("for f in {}; do wc -l $f; done".format, one(GLOBS)),
    st.builds("while read -r a b; do echo \"$b|$a\"; done < {}".format, one(FILES[:3])),
    st.builds("cat {} | while read l; do echo \"<$l>\"; done".format, one(FILES[:3])),
    st.builds("i=0; while [ $i -lt {} ]; do i=$((i+1)); echo $i; done".format, one(NUMBERS)),
    st.builds("until [ ${{#s}} -ge {} ]; do s=x$s; done; echo $s".format, one(NUMBERS)),
    st.builds("case {} in *.txt) echo text;; d|d/*) echo dir;; *) echo other;; esac".format,
              one(FILES + DIRS)),
    st.builds("f() {{ echo \"$#:$1\"; return {}; }}; f {} {}; echo $?".format, one(NUMBERS),
              one(WORDS), one(WORDS)),
    st.builds("( cd {} && ls ); ls".format, one(DIRS)),
    st.builds("{{ echo start; cat {}; }} > {}; cat {}".format, one(FILES), one(FILES[:2] + ["new.txt"]),
              one(FILES[:2] + ["new.txt"])),
    st.builds("x=$(cat {} | wc -l); echo \"n=$x\"".format, one(FILES)),
    st.builds("echo $(( {} ))".format, one(ARITH)),
    st.builds("x='{}'; echo {}".format, one(VALUES), one(EXPANSIONS)),
    st.builds("echo {}".format, one(["{a,b}{1,2}", "x{,y}z", "{1..4}", "{c..a}", "{01..3}",
                                     "a{b,c{d,e}}", "{}", "'{a,b}'", "d/{c.md,e}"])),
    st.builds("cat <<EOF\n{}\nEOF".format, one(["$X here", "plain", "a\\$b `echo q`"])),
    st.builds("grep {} <<< '{}'".format, one(["a", "-c x", "-v a"]), one(["a\nb", "xx ax"])),
    st.builds("printf {}".format, one(FORMATS)),
    st.builds("set -e; {}; echo after".format, one(CONDITIONS + ["cat nope"])),
    st.builds("set -o pipefail; {} | cat; echo $?".format, one(["false", "cat nope", "true"])),
    st.builds("! {}; echo $?".format, one(CONDITIONS)),
    st.builds("{} 2>/dev/null; echo $?".format, one(["cat nope", "ls d", "echo a"])),
    st.builds("cat a.txt {} d/c.md 2>&1".format, one(["nope", "b.txt", "d"])),
    st.builds("wc -l {} < d; echo $?".format, one(["a.txt", ""])),
    st.builds("{} d; echo $?".format, one(["head", "tail", "wc", "cat", "head -n 1 a.txt"])),
    st.builds("sort a.txt {} > out; echo $?; cat out".format, one(["nope", "b.txt"])),
    st.builds("read -r a b <<< '{}'; echo \"[$a][$b]\"".format, one(["x y z", " lead", "one"])),
    st.builds("set -- {} {}; echo $#; shift; echo \"$@\"".format, one(WORDS), one(WORDS)),
    one(["echo -n -n a", "echo a 2>/dev/null", "echo -e 'a\\tb'", "x=1; x+=2; echo $x",
         "f() { local v=in; echo $v; }; v=out; f; echo $v", "for i in 1 2 3; do [ $i = 2 ] && continue; echo $i; done",
         "for i in 1 2; do for j in a b; do [ $j = b ] && break 2; echo $i$j; done; done",
         "n=0; for ((i=0; i<5; i++)); do n=$((n+i)); done; echo $n",
         "echo `echo a` $(echo b $(echo c))", "cat <<-EOF\n\tx\n\tEOF", "true | false; echo $?",
         ": > empty; wc -c empty", "echo x >&2", "{ echo a; echo b >&2; } 2>&1 | wc -l",
         "eval 'echo $((1+1))'", "x=5; (( x *= 2 )); echo $x", "echo ${X:-unset}",
         "cat /dev/null; echo $?", "echo a | cat /dev/stdin"]),
)
FILTERS = one(["cat", "sort", "sort -r", "wc -l", "grep a", "grep -v a", "head -n 2", "tail -n 1",
               "uniq -c", "cut -d ' ' -f 1", "grep -c e"])


@st.composite
def lines(draw):
    pipelines = []
    for _ in range(draw(st.integers(1, 3))):
        stage = draw(st.one_of(SOURCES, CHANGES, GRAMMAR))
        for _ in range(draw(st.integers(0, 2))):
            stage += " | " + draw(FILTERS)
        pipelines.append(stage)
    line = pipelines[0]
    for stage in pipelines[1:]:
        line += f" {draw(one([';', '&&', '||']))} {stage}"
    return line


def run_bash(line, root):
    done = subprocess.run(
        [BASH, "--norc", "--noprofile", "-c", line],
        cwd=root,
        env={"LC_ALL": "C", "PATH": "/usr/bin:/bin"},
        stdin=subprocess.DEVNULL,
        capture_output=True,
        timeout=60,
    )
    return done.returncode, done.stdout.decode()


@settings(max_examples=1000, deadline=None, derandomize=True)
@given(lines())
def test_generated_lines_agree_with_bash(tmp_path_factory, line):
    root = str(tmp_path_factory.mktemp("real"))
    build_real(root)
    fs = build_pyfs()
    result = PyTerm.shell(fs).run(line)
    status, stdout = run_bash(line, root)
    assert (result.status, result.stdout) == (status, stdout), (line, result.stderr)
    assert pyfs_snapshot(fs) == real_snapshot(root), line


# Whole scripts as agents write them, over the same tree; each must agree with bash as
# the generated lines do.
SCRIPTS = [
    "mkdir -p out && for i in {1..3}; do echo $i > out/f$i.txt; done; ls out; cat out/*",
    "for f in $(find . -name '*.txt' | sort); do echo \"$f: $(wc -l < \"$f\")\"; done",
    "[ -f nofile ] || { echo missing; exit 1; }; echo unreachable",
    "result=$(cat b.txt | sort | uniq | wc -l); echo \"unique: $result\"",
    "cat > file <<'EOF'\nline one $HOME\nline two\nEOF\ncat >> file << EOF\nappended $((1+1))\nEOF\n"
    "cat file; wc -l file",
    "count=0\nfor word in apple banana cherry; do\n  if [[ $word == *an* ]]; then\n"
    "    count=$((count + 1))\n  fi\ndone\necho \"count=$count\"",
    "process() {\n  local input=$1\n  echo \"processing $input\"\n  return 0\n}\nprocess data && echo ok",
    "echo 'a,b,c' | while IFS=, read -r x y z; do echo \"$z $y $x\"; done",
    "while read -r n word; do echo \"$word=$n\"; done < b.txt | sort",
    "if [ -s a.txt ]; then echo content; fi; if [[ -e d && -d d ]]; then echo dir; fi",
    "name=world; echo \"Hello, ${name^}!\" \"${name:0:3}\" \"${name: -2}\" \"${#name}\"",
    "i=0; while true; do i=$((i+1)); if [ $i -ge 3 ]; then break; fi; done; echo $i",
    "x=5; if (( x > 3 && x < 10 )); then echo in range; fi",
    "s=path/to/file.tar.gz; echo \"${s##*/}\" \"${s%%/*}\" \"${s%.gz}\" \"${s##*.}\"",
    "out=$(ls nonexistent 2>&1); echo \"err: $out\"",
    "ls nonexistent > /dev/null 2>&1 && echo yes || echo no",
    "touch x.log y.log; for f in *.log; do mv \"$f\" \"${f%.log}.txt\"; done; ls",
    "func() { echo \"args: $*\"; echo \"count: $#\"; }; func 'a b' c",
    ": ${VAR:=default}; echo $VAR",
    "if ! grep nothing a.txt > /dev/null; then echo 'not found'; fi",
    "case \"$(echo yes)\" in y*) echo affirmative;; *) echo negative;; esac",
    "cat <<EOF > conf.ini\n[section]\nkey=value\nEOF\ngrep -c key conf.ini; cat conf.ini",
    "echo '   trim   ' | { read -r t; echo \"[$t]\"; }",
    "{ echo 1; echo 2; } > two.txt; wc -l < two.txt",
    "f() {\n  case $1 in\n    start) echo starting ;;\n    stop)  echo stopping ;;\n"
    "    *) echo usage ; return 1 ;;\n  esac\n}\nf start; f stop; f other; echo $?",
    "i=0\nwhile read -r line\ndo\n  i=$((i+1))\n  echo \"$i: $line\"\ndone <<EOF\nfirst\nsecond\nEOF",
    "for x in a b; do\n  for y in 1 2; do\n    echo \"$x$y\"\n  done\ndone | sort -r | head -n 2",
    "max() { if [ $1 -gt $2 ]; then echo $1; else echo $2; fi; }; max 3 7; max 9 2",
    "s=0; for i in {1..100}; do (( s += i )); done; echo $s",
    "x=a1; [[ $x =~ ^[a-z][0-9]$ ]] && echo ok; [[ $x =~ [[:digit:]] ]] && echo digit",
    "line=key=value; key=${line%%=*}; val=${line#*=}; echo \"$key -> $val\"",
    "[ -z \"${NOPE+x}\" ] && echo unset",
    "echo \"it's\" 'say \"hi\"' \"back\\\\slash\" \"dollar\\$\"",
    "echo $(( 1 + $(echo 2) + $((3)) ))",
    "printf '%-10s%5d\\n' name 42 other 7",
    "x=$(cat <<EOF\na\nb\nEOF\n); echo \"$x\" | wc -l",
    "f() { echo \"$1\"; shift; echo \"$@\"; }; f one two three",
    "(set -e; false; echo inner); echo \"outer $?\"",
    "set -o pipefail; cat nope 2>/dev/null | sort; echo $?",
    "for f in *.none; do echo \"got $f\"; done",
    "echo a > 'file with space.txt'; ls; cat 'file with space.txt'",
    "echo $((0x10)) $((8#17)) $((36#z)) $((2**62)) $((-7/2)) $((7%-3))",
    "v='a b c'; set -- $v; echo $2 $#",
    "t=$'line1\\nline2'; echo \"$t\" | tail -n 1",
    "unset a; a+=x; a+=y; echo $a",
    "if [[ -z $x ]]; then echo empty; elif [[ $x == a ]]; then echo a; else echo other; fi",
    "echo one; exit 3; echo two",
    "false; exit",
    "IFS=:; x=a:b::c; for i in $x; do echo \"[$i]\"; done",
    "x='a b  c'; echo $x; echo \"$x\"; set -- $x; echo $#",
    "f() { echo \"${@:2}\"; }; f a b c",
    "a=5; b=3; echo $(( a > b ? a : b )) $(( a == 5 )) $(( !a )) $(( a ^ b ))",
    "n=0; until (( n >= 3 )); do ((n++)); done; echo $n",
    "case A in [a-z]) echo lower;; [A-Z]) echo upper;; esac",
    "echo \"a$(echo b)c\" 'd$(e)f' `echo g`",
    "x=1; { x=2; }; echo $x; (x=3); echo $x",
    "echo abc | { read -n 2 two; echo $two; }",
    "echo line | read v; echo \"[$v]\"",
    "set -- 'a b' c; echo \"$*\"; IFS=-; echo \"$*\"",
    "i=5; while (( i-- > 3 )); do echo $i; done",
    "command -v echo; command -v nope; echo $?",
    "echo $(( 5 / 0 )); echo same line\necho next line",
    "set -u; echo ${none:-fine}; echo $none; echo never",
    "f() { local v=inner; g; }; g() { echo \"g sees $v\"; }; v=outer; f; echo $v",
    "for i in 1 2 3; do for j in 1 2 3; do [ $j -eq 2 ] && continue 2; echo $i$j; done; done",
    "printf '%s %s\\n' only; printf '%d%%\\n' 50; printf '%5.1f|%-4s|\\n' 3.14159 ab",
    "printf -v out '%03d-%s' 7 x; echo $out",
    "read a b c <<< 'one two three four'; echo \"$c|$b|$a\"",
    "x=3; echo $((x**2)) $((x<<1)) $(( (x+1)%3 )) $((x+=2)) $x",
    "echo {a..c}{1..2} {1..10..3} {10..1..4} a{1..3}b {01..03}",
    "x=*.nothing; echo $x \"$x\"; y=*.txt; echo $y",
    "echo \"$(printf 'a\\n\\n\\n')end\"",
    "cat a.txt | while read -r w rest; do [ \"$w\" = apple ] && echo \"found $rest\"; done",
    "sort b.txt | uniq -c | sort -rn | head -n 1",
    "grep -n apple a.txt d/e/f.txt 2>&1 | cut -d : -f 1,2",
    "echo start > log; for i in 1 2; do echo \"step $i\" >> log; done; cat log",
    "[[ a < b ]] && echo lt; [[ 10 -lt 9 ]] || echo numeric; [ 10 \\< 9 ] && echo string",
    "test -d d/e && test ! -f d/e && echo dir",
    "exec 3>&1",
    "echo a &",
]


@pytest.mark.parametrize("script", SCRIPTS)
def test_scripts_agree_with_bash(tmp_path, script):
    build_real(str(tmp_path))
    fs = build_pyfs()
    result = PyTerm.shell(fs, timeout=30).run(script)
    status, stdout = run_bash(script, str(tmp_path))
    if script in ("exec 3>&1", "echo a &"):
        # Left out on purpose: refused with status 2 and a message.
        assert (result.status, result.stdout) == (2, "")
        assert "not supported" in result.stderr
        return
    assert (result.status, result.stdout) == (status, stdout), (script, result.stderr)
    assert pyfs_snapshot(fs) == real_snapshot(str(tmp_path)), script
