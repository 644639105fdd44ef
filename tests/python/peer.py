"""Builds tests/second_module/borrow_peer.c, a second extension module on the
shared borrow registry, with the running interpreter's compiler settings.

The build lands in a directory of the temporary area named after the source,
the interpreter and its extension suffix, so one build serves every test
session (and the scripts in tools/) until the source changes.
"""

import hashlib
import os
import pathlib
import shlex
import subprocess
import sys
import sysconfig
import tempfile

SOURCE = pathlib.Path(__file__).resolve().parents[1] / "second_module" / "borrow_peer.c"
_built = None


def build():
    """The directory holding the built module ``borrow_peer``."""
    global _built
    if _built is not None:
        return _built
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    # Under the sanitized runs (the sanitizer runtime preloaded, or an interpreter built
    # with ThreadSanitizer) the peer is instrumented too.
    sanitize = []
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        sanitize = ["-fsanitize=address,undefined", "-fno-sanitize-recover=all"]
    elif "--with-thread-sanitizer" in (sysconfig.get_config_var("CONFIG_ARGS") or ""):
        sanitize = ["-fsanitize=thread", "-fno-omit-frame-pointer", "-g"]
    key = SOURCE.read_bytes() + sys.executable.encode() + suffix.encode() + " ".join(sanitize).encode()
    stamp = hashlib.sha256(key).hexdigest()[:16]
    directory = pathlib.Path(tempfile.gettempdir()) / f"marundex-peer-{stamp}"
    target = directory / f"borrow_peer{suffix}"
    if not target.exists():
        directory.mkdir(parents=True, exist_ok=True)
        partial = directory / f".borrow_peer-{os.getpid()}{suffix}"
        compiler = shlex.split(sysconfig.get_config_var("CC") or "cc")
        include = sysconfig.get_paths()["include"]
        command = compiler + ["-shared", "-fPIC", "-O2", "-Wall", "-Wextra", "-Werror", *sanitize, "-I", include,
                              str(SOURCE), "-o", str(partial), "-lpthread"]
        subprocess.run(command, check=True, capture_output=True, text=True, timeout=120)
        os.replace(partial, target)  # atomic: concurrent builders agree
    _built = str(directory)
    return _built


def import_line():
    """Code that makes ``borrow_peer`` importable in a child interpreter."""
    return f"import sys; sys.path.insert(0, {build()!r})\n"
