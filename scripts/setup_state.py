"""What scripts/setup.sh still has to do, decided without pip (which takes
seconds to start and resolve even when nothing is missing).

    python setup_state.py missing REQUIREMENT...   prints the requirements not met
    python setup_state.py current STAMP     prints the sources' hash; exit 0 when STAMP
                                            holds it and the installed module is as then
    python setup_state.py record STAMP HASH  writes STAMP for the module just installed
"""
import hashlib
import importlib.metadata as md
import importlib.util
import os
import pathlib
import re
import shutil
import sys

try:
    from packaging.requirements import Requirement
except ImportError:  # pip carries a copy; a fresh venv has pip but not packaging
    try:
        from pip._vendor.packaging.requirements import Requirement
    except ImportError:
        Requirement = None

ROOT = pathlib.Path(__file__).resolve().parent.parent
# Everything the module and the vorn package are built from.
SOURCES = ["CMakeLists.txt", "pyproject.toml", "README.md", "LICENSE",
           "python", "scene", "core", "embree", "gpu", "vorn"]


def unmet(text):
    """[text] when the requirement `text` (with its extras) is not met, else []."""
    if Requirement is None:  # no parser: installed at all is good enough
        try:
            md.version(re.split(r"[\[<>=!~ ;]", text, 1)[0])
            return []
        except md.PackageNotFoundError:
            return [text]
    req = Requirement(text)
    try:
        version = md.version(req.name)
    except md.PackageNotFoundError:
        return [text]
    if req.specifier and not req.specifier.contains(version, prereleases=True):
        return [text]
    for extra in req.extras:  # e.g. dask[distributed]: the extra's own requirements
        for dep in md.requires(req.name) or []:
            sub = Requirement(dep)
            if sub.marker and "extra" in str(sub.marker) and sub.marker.evaluate({"extra": extra}):
                sub.marker = None
                if unmet(str(sub)):
                    return [text]
    return []


def fingerprint():
    """Hash of the sources, the interpreter and the CUDA compiler in reach."""
    h = hashlib.sha256()
    h.update(f"{sys.executable}\n{sys.version}\n{shutil.which('nvcc')}\n".encode())
    h.update(os.environ.get("CMAKE_ARGS", "").encode() + b"\n")
    for top in SOURCES:
        path = ROOT / top
        files = [path] if path.is_file() else sorted(
            p for p in path.rglob("*") if p.is_file() and "__pycache__" not in p.parts
            and p.suffix != ".pyc")
        for f in files:
            h.update(str(f.relative_to(ROOT)).encode() + b"\0" + f.read_bytes() + b"\0")
    return h.hexdigest()


def installed():
    """The installed extension module file and its size and time, or None."""
    spec = importlib.util.find_spec("vorn_gpu")
    if spec is None or not spec.origin or not os.path.isfile(spec.origin):
        return None
    st = os.stat(spec.origin)
    return f"{spec.origin} {st.st_size} {st.st_mtime_ns}"


def main(argv):
    if argv[:1] == ["missing"]:
        for text in argv[1:]:
            for r in unmet(text):
                print(r)
        return 0
    if len(argv) == 2 and argv[0] == "current":
        # The sources' hash goes to stdout either way, for `record` after the install.
        stamp, sources = pathlib.Path(argv[1]), fingerprint()
        print(sources)
        module = installed()
        return 0 if module and stamp.is_file() and \
            stamp.read_text() == f"{sources}\n{module}\n" else 1
    if len(argv) == 3 and argv[0] == "record":
        stamp = pathlib.Path(argv[1])
        stamp.parent.mkdir(parents=True, exist_ok=True)
        stamp.write_text(f"{argv[2]}\n{installed()}\n")
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
