#!/usr/bin/env python3
"""Checks that a fresh Debian 12 gets, from scripts/bootstrap, every program
that the project's scripts and tests call:

- the programs are read from the shell scripts (scripts/, .ci/run, the test
  scripts; every word in a command's place that is not a shell word, a
  function of the script, a variable or a path), from the programs the C++
  tests start (QProcess), from the tools scripts/package requires, from the
  commands the build runs (COMMAND in the CMake files), and from
  the deployment guide's commands (its harness runs them on a copy of this
  system);
- each must exist in a system folder and belong to a package that bootstrap
  lists, that one of those needs (recursively), or that every Debian system
  has (Essential or Priority required: what debootstrap --variant=minbase
  installs).

Then the check is turned on itself: with `file` and `lintian` taken out of
bootstrap's list it must name both, and scripts/package, run without `file`
on its search path, must stop with a message naming it.

    check_bootstrap.py SOURCE_DIR
"""
import os
import re
import shlex
import subprocess
import sys
import tempfile

SHELL_WORDS = set("""
    if then else elif fi for while until do done case esac in function select time
    cd echo printf test [ [[ ]] set export local read return exit trap wait kill shift
    source . eval true false declare typeset unset pwd umask type command hash let
    mapfile readarray : getopts jobs fg bg disown ulimit alias break continue exec
    builtin enable shopt caller printf complete
""".split())
# Words that run the program named after their own options.
WRAPPERS = {"sudo", "runuser", "env", "timeout", "nice", "xargs", "setsid", "taskset", "nohup",
            "exec", "command", "time", "stdbuf", "unshare", "chroot", "ionice", "xvfb-run"}
SYSTEM_DIRS = ["/usr/bin", "/bin", "/usr/sbin", "/sbin"]
# What the project's own packages install.
OWN_PROGRAMS = {"vendrix-server", "mis-host"}
NAME = re.compile(r"^[A-Za-z0-9_][A-Za-z0-9_.+-]*$")


def shell_files(root):
    files = [os.path.join(root, ".ci", "run")]
    for folder in ("scripts", "tests"):
        for dirpath, _, names in os.walk(os.path.join(root, folder)):
            for n in names:
                path = os.path.join(dirpath, n)
                if n.endswith(".sh") or (folder == "scripts" and not n.endswith((".py", ".md"))):
                    files.append(path)
    return [f for f in files if os.path.isfile(f)]


def strip_heredocs_and_arrays(lines):
    """Drops here-document bodies and multi-line array assignments."""
    out, end, in_array = [], None, False
    for line in lines:
        if end is not None:
            if line.strip() == end:
                end = None
            continue
        if in_array:
            if ")" in line.split("#")[0]:
                in_array = False
            continue
        m = re.search(r"<<-?\s*['\"]?([A-Za-z_]+)['\"]?", line)
        if m:
            end = m.group(1)
        if re.match(r"^\s*[A-Za-z_][A-Za-z0-9_]*=\($", line.rstrip()):
            in_array = True
            continue
        out.append(line)
    return out


# Words that may stand before a command without being one.
PREFIXES = {"if", "then", "else", "elif", "while", "until", "do", "!", "{", "}", "time"}
OPERATORS = {";", "&&", "||", "|", "(", ")", "&", ";;", "|&", "((", "))"}


def logical_lines(lines):
    """Lines joined where a backslash or an open quote carries them on."""
    out, pending = [], ""
    for line in lines:
        pending = pending + "\n" + line if pending else line
        if pending.endswith("\\"):
            pending = pending[:-1]
            continue
        try:
            shlex.split(pending, comments=True)
        except ValueError:
            continue
        out.append(pending)
        pending = ""
    if pending:
        out.append(pending)
    return out


def segments_of(line):
    """The line's simple commands as word lists, quotes respected."""
    # Parameter expansions, arithmetic and redirections are no commands.
    line = re.sub(r"\$\{[^}]*\}", "$X", line)
    line = re.sub(r"\$\(\([^)]*\)\)", "$X", line)
    line = re.sub(r"\d*(>>|>&|<&|&>|>|<)&?-?\d*", " ", line)
    lexer = shlex.shlex(line, posix=True, punctuation_chars=";&|()")
    lexer.whitespace_split = True
    lexer.commenters = "#"
    segments, words = [], []
    try:
        for token in lexer:
            if token in OPERATORS or set(token) <= set(";&|()"):
                segments.append(words)
                words = []
            else:
                words.append(token)
    except ValueError:  # an unfinished quote: the line goes on below
        pass
    segments.append(words)
    return segments


def command_words(words, functions):
    """The programs a simple command runs: wrappers and the program after them."""
    found = []
    while words:
        w = words[0]
        if w in PREFIXES or re.match(r"^[A-Za-z_][A-Za-z0-9_]*(\[.*\])?\+?=", w):
            words = words[1:]
            continue
        if w in WRAPPERS:
            if w not in SHELL_WORDS:
                found.append(w)
            words = words[1:]
            # the wrapper's own options and their values, up to the program
            while words and (words[0].startswith("-") or re.match(r"^[0-9.]+[smhd]?$", words[0])
                             or "=" in words[0] or words[0] == "--"):
                opt = words.pop(0)
                if opt in ("-u", "-g", "-c", "-s", "-n") and words:
                    words.pop(0)
            if w == "chroot" and words:  # the new root comes before the program
                words.pop(0)
            continue
        break
    if words:
        w = words[0]
        if not (w in SHELL_WORDS or w in functions or not NAME.match(w) or w.startswith("-")):
            found.append(w)
    return found


def programs_in_shell(path):
    text = open(path, encoding="utf-8", errors="replace").read()
    functions = set(re.findall(r"^\s*([A-Za-z_][A-Za-z0-9_-]*)\s*\(\)\s*\{", text, re.M))
    found = {}
    lines = logical_lines(strip_heredocs_and_arrays(text.splitlines()))
    for line in lines:
        if line.lstrip().startswith("#"):
            continue
        where = f"{path}: {line.strip()[:60]}"
        # require_tools a b c: each word a program scripts/package needs.
        m = re.match(r"^\s*require_tools\s+(.*)$", line)
        if m:
            for w in m.group(1).split():
                found.setdefault(w, where)
            continue
        for words in segments_of(line):
            for w in command_words(words, functions):
                found.setdefault(w, where)
        # commands substituted inside double quotes: "$(dirname "$0")"
        for w in re.findall(r"\$\(\s*([A-Za-z][A-Za-z0-9_.+-]*)(?![A-Za-z0-9_.+=-])", line):
            if w not in SHELL_WORDS and w not in functions:
                found.setdefault(w, where)
    return found


def programs_in_cpp(root):
    found = {}
    pattern = re.compile(r'(?:\.start|QProcess::execute|findExecutable)\(\s*(?:QStringLiteral\()?"([A-Za-z0-9_.+-]+)"')
    for dirpath, _, names in os.walk(os.path.join(root, "tests")):
        for n in names:
            if n.endswith((".cpp", ".h")):
                path = os.path.join(dirpath, n)
                for m in pattern.finditer(open(path, encoding="utf-8", errors="replace").read()):
                    found.setdefault(m.group(1), path)
    return found


def bootstrap_packages(root, text=None):
    text = text if text is not None else open(os.path.join(root, "scripts", "bootstrap")).read()
    body = re.search(r"PACKAGES=\((.*?)\n\)", text, re.S).group(1)
    return [w for line in body.splitlines() for w in line.split("#")[0].split()]


def run(*args):
    return subprocess.run(args, capture_output=True, text=True).stdout


def closure(packages):
    out = run("apt-cache", "depends", "--recurse", "--no-recommends", "--no-suggests", "--no-conflicts",
              "--no-breaks", "--no-replaces", "--no-enhances", *packages)
    names = set(packages)
    for line in out.splitlines():
        line = line.strip().lstrip("|")
        if line.startswith(("Depends:", "PreDepends:")):
            line = line.split(":", 1)[1].strip()
        if line and not line.startswith("<") and " " not in line:
            names.add(line.split(":")[0])
    return names


def base_system():
    out = run("dpkg-query", "-W", "-f", "${Package} ${Essential} ${Priority}\n")
    return {p for p, ess, prio in (l.split(" ")[:3] for l in out.splitlines() if l.count(" ") >= 2)
            if ess == "yes" or prio == "required"}


def candidate_paths(program):
    """Where a program may be, as dpkg knows the path (with and without /usr)."""
    paths = []
    for d in SYSTEM_DIRS:
        path = os.path.join(d, program)
        if os.path.exists(path):
            for c in (path, os.path.realpath(path)):
                paths += [c, c[4:] if c.startswith("/usr/") else "/usr" + c]
    return paths


def owners(paths):
    """dpkg's owner of each path it knows, asked once for all of them."""
    out = subprocess.run(["dpkg", "-S", *sorted(set(paths))], capture_output=True, text=True).stdout
    found = {}
    for line in out.splitlines():
        if line.startswith("diversion") or ": " not in line:
            continue
        pkgs, path = line.split(": ", 1)
        found.setdefault(path.strip(), pkgs.split(",")[0].split(":")[0].strip())
    return found


def unprovided(programs, allowed):
    problems = []
    candidates = {p: candidate_paths(p) for p in programs}
    known = owners([c for cs in candidates.values() for c in cs]) if candidates else {}
    for program, where in sorted(programs.items()):
        pkg = next((known[c] for c in candidates[program] if c in known), None)
        if pkg is None:
            problems.append(f"{program} (called at {where}) is in no Debian package installed in a system folder")
        elif pkg not in allowed:
            problems.append(f"{program} (called at {where}) comes from {pkg}, which scripts/bootstrap does not install")
    return problems


def main():
    root = os.path.abspath(sys.argv[1])
    programs = {}
    for f in shell_files(root):
        for p, where in programs_in_shell(f).items():
            programs.setdefault(p, os.path.relpath(where, root))
    for p, where in programs_in_cpp(root).items():
        programs.setdefault(p, os.path.relpath(where, root))
    # What the build runs: execute_process(COMMAND git ...) and the like.
    for dirpath, _, names in os.walk(root):
        if "/build" in dirpath or "/." in dirpath:
            continue
        for n in names:
            if n.endswith(".cmake") or n == "CMakeLists.txt":
                path = os.path.join(dirpath, n)
                for p in re.findall(r"\bCOMMAND\s+([A-Za-z][A-Za-z0-9_.+-]*)(?=\s)", open(path).read()):
                    if p not in OWN_PROGRAMS and not p.startswith("${"):
                        programs.setdefault(p, os.path.relpath(path, root))
    # The deployment guide's commands, run by its harness on a copy of this system.
    guide = os.path.join(root, "docs", "deployment.md")
    blocks = re.findall(r"^```sh\n(.*?)^```", open(guide, encoding="utf-8").read(), re.S | re.M)
    with tempfile.NamedTemporaryFile("w", suffix=".sh") as f:
        f.write("\n".join(blocks))
        f.flush()
        for p in programs_in_shell(f.name):
            if p not in OWN_PROGRAMS:
                programs.setdefault(p, "docs/deployment.md")
    packages = bootstrap_packages(root)
    base = base_system()
    reduced = [p for p in packages if p not in ("file", "lintian")]
    reduced_closure = closure(reduced)
    taken_out = [p for p in packages if p in ("file", "lintian")]
    problems = unprovided(programs, reduced_closure | (closure(taken_out) if taken_out else set()) | base)
    print(f"check_bootstrap: {len(programs)} programs: {' '.join(sorted(programs))}")

    # The check itself: a list without file and lintian must be caught.
    caught = unprovided({k: v for k, v in programs.items() if k in ("file", "lintian")}, reduced_closure | base)
    if len(caught) != 2:
        problems.append(f"without file and lintian in bootstrap's list the check named {caught}")

    # scripts/package without file on its search path stops and names it.
    with tempfile.TemporaryDirectory() as bindir:
        for tool in ("bash", "env", "dirname", "cmake", "cpack", "dpkg-shlibdeps", "objcopy", "strip", "gzip", "id"):
            for d in SYSTEM_DIRS:
                if os.path.exists(os.path.join(d, tool)):
                    os.symlink(os.path.join(d, tool), os.path.join(bindir, tool))
                    break
        result = subprocess.run([os.path.join(bindir, "bash"), os.path.join(root, "scripts", "package"), "--no-bootstrap"],
                                capture_output=True, text=True, env={"PATH": bindir})
        if result.returncode == 0 or "missing file" not in result.stderr:
            problems.append(f"scripts/package without file: exit {result.returncode}, said {result.stderr.strip()!r}")

    if problems:
        print("\n".join(f"check_bootstrap: FAILED: {p}" for p in problems), file=sys.stderr)
        return 1
    print("check_bootstrap: every program comes from a package scripts/bootstrap installs; "
          "the check names a package taken out; scripts/package names a missing tool")
    return 0


if __name__ == "__main__":
    sys.exit(main())
