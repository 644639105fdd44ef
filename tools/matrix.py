"""Reads tools/matrix.toml, refuses a row that does not fit (by its name), and
answers the scripts' questions about it, one value a line or one row's values
on one line. Run it through tools/matrix.

    names [--role R] [--host | --root] [--wheel] [--emulated | --native] [--setup]
                              target names, in the file's order
    one --role R              the one target of a role
    get NAME FIELD...         a target's fields, on one line
    requirements NAME         its pinned requirements file
    pins                      the pinned files, each made from an input
    pin FILE FIELD...         a pinned file's fields, on one line: input,
                              series, free_threaded, platforms (the manylinux
                              CPUs of the targets that install it), interpreter
                              (a host target of its build; none if a version
                              and platform name it)
    cpus [--emulated]         CPU names
    cpu CPU FIELD...          a CPU's fields, on one line
    roots                     root names
    root ROOT FIELD...        a root's fields, on one line (its CPU's too)
    check                     read the file and say what it holds

Flags print as 1 or 0, lists as space-separated words, paths as absolute ones.
MARUNDEX_MATRIX names another file (the tests use it).
"""

import os
import platform
import re
import sys

if sys.version_info < (3, 11):
    sys.exit("tools/matrix needs Python 3.11 or newer (tomllib); this is " + sys.version.split()[0])

import tomllib

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEFAULT = os.path.join(REPO, "tools", "matrix.toml")

# Who a role's target serves; those marked one must have exactly one target.
ROLES = {
    "tools": True,  # build tools, auditwheel, mypy, the lint build
    "sanitizers": True,  # the Python suite under AddressSanitizer
    "docs": True,  # the site and the pages' code blocks
    "sdist-host": True,  # the sdist built with this machine's g++
    "sdist-root": True,  # the sdist built with the root's newest g++ and clang
    "thread-sanitizer": True,  # the concurrency tests under ThreadSanitizer
    "bench-main": True,
    "bench-free-threaded": True,
    "bench-oldest": True,
    "demo": True,
}
VARIANTS = ("plain", "thread-sanitizer")
NAME = re.compile(r"[a-z0-9][a-z0-9.-]*")
SERIES = re.compile(r"3\.[0-9]+")
WORD = re.compile(r"[A-Za-z0-9][A-Za-z0-9.+_-]*")

TARGET_KEYS = {
    # key: (type, required)
    "name": (str, True),
    "series": (str, True),
    "free_threaded": (bool, False),
    "cpu": (str, True),
    "origin": (str, True),
    "source": (str, False),
    "root": (str, False),
    "variant": (str, False),
    "wheel": (bool, False),
    "suite": (str, False),
    "requirements": (str, True),
    "bench_requirements": (str, False),
    "docs_requirements": (str, False),
    "roles": (list, False),
}
# A target's pinned files, each generated from an input of [pins].
PINNED = ("requirements", "bench_requirements", "docs_requirements")
CPU_KEYS = {
    "debian_arch": str,
    "qemu": str,
    "qemu_cpu": str,
    "cross_prefix": str,
    "cross_packages": list,
    "manylinux": str,
    "fma_pattern": str,
}
ROOT_KEYS = {"suite": str, "cpu": str, "packages": list}
# Values that are not one word: checked by their own rules.
FREE_FORM = ("fma_pattern", "qemu_cpu")
# qemu's -cpu: a model, then properties (QEMU_CPU=max,pauth-impdef=on).
QEMU_CPU = re.compile(r"[a-z0-9-]+(,[a-z0-9-]+(=[a-z0-9]+)?)*")


class MatrixError(Exception):
    pass


def _fields(where, row, keys):
    """Check ROW's keys and types against KEYS ({key: (type, required)})."""
    if not isinstance(row, dict):
        raise MatrixError(f"{where}: not a table")
    unknown = sorted(set(row) - set(keys))
    if unknown:
        raise MatrixError(f"{where}: unknown field {', '.join(unknown)}")
    for key, (kind, required) in keys.items():
        if key not in row:
            if required:
                raise MatrixError(f"{where}: no {key}")
            continue
        value = row[key]
        if not isinstance(value, kind) or (kind is int and isinstance(value, bool)):
            raise MatrixError(f"{where}: {key} is not a {kind.__name__}: {value!r}")
        if kind is list and not all(isinstance(v, str) and WORD.fullmatch(v) for v in value):
            raise MatrixError(f"{where}: {key} is not a list of words: {value!r}")
        if kind is str and key not in FREE_FORM and value and not WORD.fullmatch(value.replace("/", "")):
            raise MatrixError(f"{where}: {key} is not one word: {value!r}")


def load(path=None):
    path = path or os.environ.get("MARUNDEX_MATRIX") or DEFAULT
    try:
        with open(path, "rb") as f:
            data = tomllib.load(f)
    except (OSError, tomllib.TOMLDecodeError) as e:
        raise MatrixError(f"{path}: {e}") from None
    unknown = sorted(set(data) - {"cpu", "root", "target", "pins"})
    if unknown:
        raise MatrixError(f"{path}: unknown table {', '.join(unknown)}")

    cpus = data.get("cpu", {})
    for name, cpu in cpus.items():
        _fields(f"{path}: cpu {name!r}", cpu, {k: (t, True) for k, t in CPU_KEYS.items()})
        try:
            re.compile(cpu["fma_pattern"])
        except re.error as e:
            raise MatrixError(f"{path}: cpu {name!r}: fma_pattern: {e}") from None
        if not QEMU_CPU.fullmatch(cpu["qemu_cpu"]):
            raise MatrixError(f"{path}: cpu {name!r}: qemu_cpu is not a qemu CPU model: {cpu['qemu_cpu']!r}")

    roots = data.get("root", {})
    for name, root in roots.items():
        where = f"{path}: root {name!r}"
        _fields(where, root, {k: (t, True) for k, t in ROOT_KEYS.items()})
        if root["cpu"] not in cpus:
            raise MatrixError(f"{where}: unknown cpu {root['cpu']!r}")

    targets = data.get("target", [])
    if not isinstance(targets, list) or not targets:
        raise MatrixError(f"{path}: no [[target]] rows")
    seen = {}
    for index, row in enumerate(targets):
        name = row.get("name") if isinstance(row, dict) else None
        where = f"{path}: target {name!r}" if isinstance(name, str) else f"{path}: target row {index + 1}"
        _fields(where, row, TARGET_KEYS)
        if not NAME.fullmatch(name):
            raise MatrixError(f"{where}: a name is lower-case letters, digits, '.' and '-'")
        if name in seen:
            raise MatrixError(f"{where}: a second row of that name")
        if not SERIES.fullmatch(row["series"]):
            raise MatrixError(f"{where}: series {row['series']!r} is not 3.N")
        if row["cpu"] not in cpus:
            raise MatrixError(f"{where}: unknown cpu {row['cpu']!r}")
        row.setdefault("free_threaded", False)
        row.setdefault("wheel", False)
        row.setdefault("variant", "plain")
        row.setdefault("roles", [])
        if row["variant"] not in VARIANTS:
            raise MatrixError(f"{where}: variant {row['variant']!r} is none of {', '.join(VARIANTS)}")
        if row["origin"] == "host":
            if "root" in row or "source" not in row:
                raise MatrixError(f"{where}: a host target has a source (a Debian suite or none) and no root")
        elif row["origin"] == "root":
            if "source" in row or row.get("root") not in roots:
                raise MatrixError(f"{where}: a root target names a root of [root] and no source")
            if roots[row["root"]]["cpu"] != row["cpu"]:
                raise MatrixError(f"{where}: cpu {row['cpu']!r}, but root {row['root']!r} is {roots[row['root']]['cpu']!r}")
            if row["variant"] != "plain" or row["free_threaded"]:
                raise MatrixError(f"{where}: a root holds Debian's default build only")
        else:
            raise MatrixError(f"{where}: origin {row['origin']!r} is neither host nor root")
        if row["wheel"] != (row.get("suite") in ("whole", "smoke")) or (not row["wheel"] and "suite" in row):
            raise MatrixError(f"{where}: a target with a wheel has a suite, whole or smoke; one without has none")
        for role in row["roles"]:
            if role not in ROLES:
                raise MatrixError(f"{where}: unknown role {role!r}")
        seen[name] = row
    for role, single in ROLES.items():
        holders = [n for n, r in seen.items() if role in r["roles"]]
        if single and len(holders) != 1:
            raise MatrixError(f"{path}: role {role!r} has {len(holders)} targets, not one: {' '.join(holders)}")
    for name in roots:
        if not any(r.get("root") == name for r in seen.values()):
            raise MatrixError(f"{path}: root {name!r}: no target lives in it")
    return Matrix(seen, cpus, roots, _pins(path, data.get("pins", {}), seen))


def _pins(path, table, targets):
    """{pinned file: (input, the targets that install it)}, checked: every
    pinned file of a target has an input, and its targets agree on the series
    and build the file is resolved for."""
    if not isinstance(table, dict):
        raise MatrixError(f"{path}: pins is not a table")
    users = {}
    for name, row in targets.items():
        for key in PINNED:
            if key in row:
                users.setdefault(row[key], []).append(name)
    pins = {}
    for output, source in table.items():
        where = f"{path}: pins {output!r}"
        if not isinstance(source, str) or not source.endswith(".in"):
            raise MatrixError(f"{where}: the input is not a path ending in .in: {source!r}")
        if not os.path.isfile(os.path.join(REPO, source)):
            raise MatrixError(f"{where}: no file {source}")
        if output not in users:
            raise MatrixError(f"{where}: no target installs it")
        builds = {(targets[n]["series"], targets[n]["free_threaded"]) for n in users[output]}
        if len(builds) != 1:
            raise MatrixError(f"{where}: its targets are of different series or builds: {' '.join(users[output])}")
        pins[output] = (source, users[output])
    for output, names in users.items():
        if output not in pins:
            raise MatrixError(f"{path}: target {names[0]!r}: {output} is made from no input of [pins]")
    return pins


class Matrix:
    def __init__(self, targets, cpus, roots, pins):
        self.targets, self.cpus, self.roots, self.pins = targets, cpus, roots, pins

    @staticmethod
    def emulated_cpu(cpu):
        return cpu != platform.machine()

    def target(self, name):
        if name not in self.targets:
            raise MatrixError(f"no target {name!r} (targets: {' '.join(self.targets)})")
        return self.targets[name]

    def target_field(self, name, field):
        row = self.target(name)
        if field == "exe":
            return "python" + row["series"] + ("t" if row["free_threaded"] else "")
        if field == "emulated":
            return self.emulated_cpu(row["cpu"])
        if field in PINNED:
            if field not in row:
                raise MatrixError(f"target {name!r} has no {field}")
            return os.path.join(REPO, row[field])
        if field in ("root", "source", "suite"):
            return row.get(field, "none")
        if field in TARGET_KEYS:
            return row[field]
        raise MatrixError(f"no target field {field!r}")

    def cpu_field(self, name, field):
        if name not in self.cpus:
            raise MatrixError(f"no cpu {name!r} (cpus: {' '.join(self.cpus)})")
        if field == "emulated":
            return self.emulated_cpu(name)
        if field in CPU_KEYS:
            return self.cpus[name][field]
        raise MatrixError(f"no cpu field {field!r}")

    def root_field(self, name, field):
        if name not in self.roots:
            raise MatrixError(f"no root {name!r} (roots: {' '.join(self.roots)})")
        root = self.roots[name]
        if field == "arch":
            return self.cpus[root["cpu"]]["debian_arch"]
        if field == "emulated":
            return self.emulated_cpu(root["cpu"])
        if field in CPU_KEYS:
            return self.cpus[root["cpu"]][field]
        if field == "packages":
            # Its targets' series in order, each with its -dev and -venv, then its own.
            series = sorted({r["series"] for r in self.targets.values() if r.get("root") == name},
                            key=lambda s: tuple(map(int, s.split("."))))
            return [p for s in series for p in (f"python{s}", f"python{s}-dev", f"python{s}-venv")] + root["packages"]
        if field in ROOT_KEYS:
            return root[field]
        raise MatrixError(f"no root field {field!r}")

    def pin_field(self, output, field):
        relative = os.path.relpath(os.path.abspath(output), REPO)
        if relative not in self.pins:
            raise MatrixError(f"no pinned file {output!r} (files: {' '.join(self.pins)})")
        source, users = self.pins[relative]
        first = self.targets[users[0]]
        if field == "input":
            return os.path.join(REPO, source)
        if field in ("series", "free_threaded"):
            return first[field]
        if field == "platforms":
            return list(dict.fromkeys(self.cpus[self.targets[n]["cpu"]]["manylinux"] for n in users))
        if field == "interpreter":
            # A free-threaded build has no name a resolver takes for a version:
            # it asks an interpreter of that build, one made on this machine.
            if not first["free_threaded"]:
                return "none"
            for name, row in self.targets.items():
                if (row["origin"], row["variant"], row["series"], row["free_threaded"]) == \
                        ("host", "plain", first["series"], True):
                    return name
            raise MatrixError(f"{relative}: no plain host target of free-threaded {first['series']} to resolve it with")
        raise MatrixError(f"no pin field {field!r}")

    def names(self, role=None, origin=None, wheel=False, emulated=None, setup=False):
        out = []
        for name, row in self.targets.items():
            if role is not None and role not in row["roles"]:
                continue
            if origin is not None and row["origin"] != origin:
                continue
            if wheel and not row["wheel"]:
                continue
            if emulated is not None and self.emulated_cpu(row["cpu"]) != emulated:
                continue
            # A plain `setup` makes what the wheels need; other variants only when named.
            if setup and row["variant"] != "plain":
                continue
            out.append(name)
        return out


def _show(value):
    if isinstance(value, bool):
        return "1" if value else "0"
    if isinstance(value, list):
        return " ".join(value)
    return value


def main(argv):
    usage = __doc__.split("\n\n")[1]
    if not argv:
        raise MatrixError("usage:\n" + usage)
    matrix = load()
    cmd, args = argv[0], argv[1:]
    if cmd in ("names", "one"):
        role = origin = emulated = None
        wheel = setup = False
        while args:
            flag = args.pop(0)
            if flag == "--role" and args:
                role = args.pop(0)
                if role not in ROLES:
                    raise MatrixError(f"unknown role {role!r}")
            elif flag in ("--host", "--root"):
                origin = flag[2:]
            elif flag in ("--emulated", "--native"):
                emulated = flag == "--emulated"
            elif flag == "--wheel":
                wheel = True
            elif flag == "--setup":
                setup = True
            else:
                raise MatrixError(f"{cmd}: unknown argument {flag!r}")
        found = matrix.names(role, origin, wheel, emulated, setup)
        if cmd == "one" and len(found) != 1:
            raise MatrixError(f"one: {len(found)} targets fit, not one: {' '.join(found)}")
        lines = found
    elif cmd in ("get", "cpu", "root") and len(args) >= 2:
        field = {"get": matrix.target_field, "cpu": matrix.cpu_field, "root": matrix.root_field}[cmd]
        lines = [" ".join(_show(field(args[0], f)) for f in args[1:])]
    elif cmd == "requirements" and len(args) == 1:
        lines = [matrix.target_field(args[0], "requirements")]
    elif cmd == "pins" and not args:
        lines = [os.path.join(REPO, output) for output in matrix.pins]
    elif cmd == "pin" and len(args) >= 2:
        lines = [" ".join(_show(matrix.pin_field(args[0], f)) for f in args[1:])]
    elif cmd == "cpus" and args in ([], ["--emulated"]):
        lines = [c for c in matrix.cpus if not args or matrix.emulated_cpu(c)]
    elif cmd == "roots" and not args:
        lines = list(matrix.roots)
    elif cmd == "check" and not args:
        lines = [f"matrix: {len(matrix.targets)} targets, {len(matrix.cpus)} cpus, {len(matrix.roots)} roots, "
                 f"{len(matrix.pins)} pinned files"]
    else:
        raise MatrixError("usage:\n" + usage)
    for line in lines:
        print(line)


if __name__ == "__main__":
    try:
        main(sys.argv[1:])
    except MatrixError as e:
        sys.exit(f"matrix: error: {e}")
