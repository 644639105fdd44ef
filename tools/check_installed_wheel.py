"""Checks that marundex and marundex_stream in this interpreter are installed from the given wheel.

    python tools/check_installed_wheel.py dist/marundex-...whl

Each module must load from this environment's site-packages, the installed
distribution must carry the wheel's tags, and each extension's hash in the
installed RECORD must be the one in the wheel's RECORD: what pip put there is
the wheel's own file, not one it built.
"""

import importlib.metadata
import pathlib
import sys
import sysconfig
import zipfile

import marundex
import marundex_stream


def record(text):
    return {line.split(",")[0]: line.split(",")[1] for line in text.splitlines() if line}


def tags(text):
    return sorted(line for line in text.splitlines() if line.startswith("Tag:"))


def main(wheel_path):
    wheel = zipfile.ZipFile(wheel_path)
    info = next(name.split("/")[0] for name in wheel.namelist() if name.endswith(".dist-info/WHEEL"))
    installed = importlib.metadata.distribution("marundex")
    site = pathlib.Path(sysconfig.get_paths()["platlib"])
    if tags(installed.read_text("WHEEL")) != tags(wheel.read(f"{info}/WHEEL").decode()):
        sys.exit(f"the installed tags are not those of {wheel_path}")
    for extension in (marundex, marundex_stream):
        module = pathlib.Path(extension.__file__)
        if module.parent != site:
            sys.exit(f"{extension.__name__} comes from {module}, not from {site}")
        wheel_hash = record(wheel.read(f"{info}/RECORD").decode()).get(module.name)
        if not wheel_hash or record(installed.read_text("RECORD")).get(module.name) != wheel_hash:
            sys.exit(f"{module.name} is not the file of {wheel_path}")
        print(f"installed {pathlib.Path(wheel_path).name}: {module}")


if __name__ == "__main__":
    main(sys.argv[1])
