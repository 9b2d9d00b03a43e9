"""Builds the test-only extension tlsub (tlsub.cpp beside this file) for the running interpreter
and imports it. It includes only the tl.hpp that the installed Virel ships (the source tree's when
the installed package has none) and the interpreter's own headers (found through sysconfig).

The build goes to build/native-tests/<key>/ under the repository, the key naming the sources, the
flags and the interpreter, so a second run reuses it. With VIREL_SANITIZED set (the sanitizer run,
which preloads g++'s AddressSanitizer and UndefinedBehaviorSanitizer), it is built with the same
sanitizers. Never part of the wheel: nothing under tests/ is.
"""
import hashlib
import importlib.util
import os
import pathlib
import subprocess
import sys
import sysconfig

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent.parent
SOURCE = HERE / "tlsub.cpp"


def header_dir():
    import Virel
    installed = pathlib.Path(Virel.__file__).resolve().parent
    return installed if (installed / "tl.hpp").exists() else ROOT / "src" / "Virel"


def command(out):
    paths = sysconfig.get_paths()
    flags = ["-std=c++20", "-shared", "-fPIC", "-O1", "-g", "-Wall", "-Wextra", "-Wshadow",
             "-Wconversion", "-Wno-sign-conversion", "-Werror"]
    if os.environ.get("VIREL_SANITIZED"):
        flags += ["-fsanitize=address,undefined", "-fno-omit-frame-pointer",
                  "-fno-sanitize-recover=undefined"]
    return ["g++", *flags, f"-I{header_dir()}", f"-I{paths['include']}",
            f"-I{paths['platinclude']}", str(SOURCE), "-o", str(out)]


def load():
    """The tlsub module, built first when needed."""
    if "tlsub" in sys.modules:
        return sys.modules["tlsub"]
    key = hashlib.sha256()
    for part in (SOURCE.read_bytes(), (header_dir() / "tl.hpp").read_bytes(),
                 " ".join(command("")).encode(), sys.executable.encode()):
        key.update(part)
    out = ROOT / "build" / "native-tests" / key.hexdigest()[:16] / ("tlsub" + sysconfig.get_config_var("EXT_SUFFIX"))
    if not out.exists():
        out.parent.mkdir(parents=True, exist_ok=True)
        partial = out.with_name(out.name + f".{os.getpid()}.tmp")
        done = subprocess.run(command(partial), capture_output=True, text=True)
        if done.returncode != 0:
            raise RuntimeError(f"building tlsub failed:\n{' '.join(command(partial))}\n{done.stderr}")
        partial.replace(out)
    found = importlib.util.spec_from_file_location("tlsub", out)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    sys.modules["tlsub"] = module
    return module
