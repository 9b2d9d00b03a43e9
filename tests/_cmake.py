"""Builds and imports the repository's own extensions that are never part of the wheel, the optional
targets of CMakeLists.txt: tlsub, the tests' native subclass (tests/native), and floor, the
benchmark's floor (bench/floor).

They are built for the running interpreter in one CMake build folder for it, build/extras/<ABI tag>
(build/extras/<ABI tag>-sanitize under the sanitizers, VIREL_SANITIZED set), beside the tests: in
the source tree, or in the copy of tests/, bench/ and CMakeLists.txt that runs against an installed
wheel (tools/test-wheel.sh). The folder is configured with the module left out
(VIREL_BUILD_MODULE=OFF), so nothing under src/ is needed, and tlsub is built against the tl.hpp
that the installed Virel ships (the source tree's when the installed package has none). CMake
decides what to rebuild; it is configured again when the interpreter or that header's folder
changes. The build runs with the build folder locked, and so does the import, so that a process
never loads a file that another one is rewriting.
"""

import fcntl
import importlib.util
import os
import pathlib
import shutil
import subprocess
import sys
import sysconfig

ROOT = pathlib.Path(__file__).resolve().parent.parent
EXT_SUFFIX = sysconfig.get_config_var("EXT_SUFFIX")  # .cpython-312-x86_64-linux-gnu.so
OPTIONS = {"tlsub": "VIREL_BUILD_TEST_EXTENSION", "floor": "VIREL_BUILD_FLOOR"}
MODULE_NAMES = {"tlsub": "tlsub", "floor": "_virel_floor"}  # the file names the targets give


class BuildError(Exception):
    """An extension could not be built; the message says why (with the compiler's output)."""


def header_dir():
    """The folder of the tl.hpp that tlsub includes."""
    import Virel

    installed = pathlib.Path(Virel.__file__).resolve().parent
    return installed if (installed / "tl.hpp").exists() else ROOT / "src" / "Virel"


def build_folder():
    sanitized = bool(os.environ.get("VIREL_SANITIZED"))
    return ROOT / "build" / "extras" / (EXT_SUFFIX.split(".")[1] + ("-sanitize" if sanitized else ""))


def configure_args():
    sanitized = bool(os.environ.get("VIREL_SANITIZED"))
    return [
        f"-DPython_EXECUTABLE={sys.executable}",
        f"-DVIREL_TL_HEADER_DIR={header_dir()}",
        "-DVIREL_BUILD_MODULE=OFF",
        *(f"-D{option}=ON" for option in OPTIONS.values()),
        f"-DVIREL_SANITIZE={'ON' if sanitized else 'OFF'}",
        f"-DCMAKE_BUILD_TYPE={'Debug' if sanitized else 'Release'}",
    ]


def run(command, env):
    done = subprocess.run(command, capture_output=True, text=True, env=env)
    if done.returncode != 0:
        raise BuildError(f"{' '.join(command)} failed:\n{(done.stdout + done.stderr).strip()[-3000:]}")


def build(target, folder):
    """Brings `target` up to date in `folder` (locked by the caller); returns the file built."""
    cmake = shutil.which("cmake")
    if cmake is None:
        raise BuildError("no cmake on PATH")
    if not (ROOT / "CMakeLists.txt").is_file():
        raise BuildError(f"no CMakeLists.txt in {ROOT}")
    # The compilers must not run under the sanitizers' runtimes that the sanitizer run preloads.
    env = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}
    args = configure_args()
    record = folder / "virel-configure.txt"
    if not (folder / "CMakeCache.txt").exists() or not record.exists() or record.read_text() != "\n".join(args):
        generator = [] if (folder / "CMakeCache.txt").exists() or not shutil.which("ninja") else ["-G", "Ninja"]
        run([cmake, "-S", str(ROOT), "-B", str(folder), *generator, *args], env)
        record.write_text("\n".join(args))
    run([cmake, "--build", str(folder), "--target", target], env)
    built = folder / (MODULE_NAMES[target] + EXT_SUFFIX)
    if not built.exists():
        raise BuildError(f"the build of {target} left no {built}")
    return built


def load(target, built=None):
    """The extension module of `target` ("tlsub" or "floor"), built first when out of date.
    Raises BuildError when it cannot be built. `built`: the file of a build made already (by a
    parent process), imported under the folder's lock with no build run."""
    name = MODULE_NAMES[target]
    if name in sys.modules:
        return sys.modules[name]
    folder = pathlib.Path(built).parent if built else build_folder()
    folder.mkdir(parents=True, exist_ok=True)
    with open(folder / "virel-build.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        found = importlib.util.spec_from_file_location(name, built or build(target, folder))
        module = importlib.util.module_from_spec(found)
        found.loader.exec_module(module)
    sys.modules[name] = module
    return module
