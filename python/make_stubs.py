"""Writes the type stubs of the freshly built vorn_gpu module (run by the build).

    python make_stubs.py MODULE_DIR OUT_DIR

pybind11-stubgen imports the module from MODULE_DIR and writes
OUT_DIR/vorn_gpu.pyi, which is then made valid Python: a function whose
required parameter follows defaulted ones (legal in the binding, a syntax
error in a stub) becomes two overloads, one positional and one with keywords.
Two things pybind11-stubgen does not carry over are restored from the module
itself: the positional-only marker "/" of the parameters the binding makes
positional-only, and the IntEnum classes, which it writes with the enum
machinery's internals instead of their members.
Without pybind11-stubgen, or when it fails, no stub is written and the build
goes on: the stubs are a convenience, never a reason to fail.
"""
import os
import pathlib
import re
import subprocess
import sys
import textwrap

DEF = re.compile(r"^(?P<indent>\s*)def (?P<name>\w+)\((?P<params>.*)\)(?P<ret> -> .*)?:\s*$")


def split_params(text):
    """Top-level comma split (brackets and strings respected)."""
    parts, depth, quote, start = [], 0, None, 0
    for i, c in enumerate(text):
        if quote:
            quote = None if c == quote and text[i - 1] != "\\" else quote
        elif c in "'\"":
            quote = c
        elif c in "([{":
            depth += 1
        elif c in ")]}":
            depth -= 1
        elif c == "," and depth == 0:
            parts.append(text[start:i].strip())
            start = i + 1
    if text[start:].strip():
        parts.append(text[start:].strip())
    return parts


def strip_default(p):
    depth = 0
    for i, c in enumerate(p):
        depth += c in "([{"
        depth -= c in ")]}"
        if c == "=" and depth == 0:
            return p[:i].rstrip()
    return p


def has_default(p):
    return strip_default(p) != p


def fix_defaults(lines):
    """Rewrites each def whose parameters break Python's default order."""
    out = []
    for line in lines:
        m = DEF.match(line)
        params = split_params(m["params"]) if m else []
        plain = [i for i, p in enumerate(params) if p not in ("*", "/") and not p.startswith("*")]
        first_default = next((i for i in plain if has_default(params[i])), None)
        late = [i for i in plain if first_default is not None and i > first_default
                and not has_default(params[i])]
        if not late:
            out.append(line)
            continue
        ind, head, ret = m["indent"], f"def {m['name']}(", m["ret"] or ""
        positional = [strip_default(p) if i < late[-1] else p for i, p in enumerate(params)]
        keywords = params[:late[0]] + ["*"] + [p for p in params[late[0]:] if p != "*"]
        out += [f"{ind}@typing.overload\n", f"{ind}{head}{', '.join(positional)}){ret}: ...\n",
                f"{ind}@typing.overload\n", f"{ind}{head}{', '.join(keywords)}){ret}:\n"]
    return out


CLASS = re.compile(r"^class (?P<name>\w+)\b")


def runtime_facts(module_dir):
    """({(class or "", function): last positional-only parameter},
    {enum name: (doc, [(member, value, doc)])}) read from the built module."""
    code = textwrap.dedent("""
        import enum, json, re, vorn_gpu
        pos, enums = {}, {}
        def scan(owner, obj):
            for name, f in vars(obj).items():
                first = (getattr(f, "__doc__", None) or "").split("\\n")[0]
                m = re.search(r"(\\w+): [^,()]*(?:\\[[^]]*\\])?[^,()]*, /\\)", first)
                if m:
                    pos[owner + "." + name] = m.group(1)
        scan("", vorn_gpu)
        for name, cls in vars(vorn_gpu).items():
            if isinstance(cls, type) and issubclass(cls, enum.IntEnum):
                enums[name] = [cls.__doc__, [(m.name, int(m), m.__doc__) for m in cls]]
            elif isinstance(cls, type):
                scan(name, cls)
        print(json.dumps([pos, enums]))
    """)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [module_dir] + [p for p in [os.environ.get("PYTHONPATH")] if p]))
    run = subprocess.run([sys.executable, "-c", code], cwd=module_dir, env=env,
                         capture_output=True, text=True, check=True)
    import json
    return json.loads(run.stdout)


def restore(lines, positional, enums):
    """Inserts "/" after each positional-only parameter list and replaces the
    IntEnum classes by their documented members."""
    out, owner, skipping = [], "", False
    for line in lines:
        c = CLASS.match(line)
        if c or (line.strip() and not line.startswith((" ", "\t"))):
            owner = c["name"] if c else ""
            skipping = owner in enums
            if skipping:
                doc, members = enums[owner]
                out.append(f"class {owner}(enum.IntEnum):\n")
                out.append(f'    """{doc}"""\n')
                for name, value, mdoc in members:
                    out.append(f"    {name} = {value}\n")
                    if mdoc:
                        out.append(f'    """{mdoc}"""\n')
                continue
        if skipping:
            continue
        m = DEF.match(line)
        last = positional.get(f"{owner}.{m['name']}") if m else None
        if last:
            params = split_params(m["params"])
            i = next(k for k, p in enumerate(params) if strip_default(p).split(":")[0].strip() == last)
            params.insert(i + 1, "/")
            line = f"{m['indent']}def {m['name']}({', '.join(params)}){m['ret'] or ''}:\n"
        out.append(line)
    return out


def main(module_dir, out_dir):
    out = pathlib.Path(out_dir)
    stub = out / "vorn_gpu.pyi"
    stub.unlink(missing_ok=True)
    try:
        import pybind11_stubgen  # noqa: F401
    except ImportError:
        print("-- vorn_gpu: pybind11-stubgen not installed, no type stubs "
              "(pip install pybind11-stubgen)")
        return 0
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [module_dir] + [p for p in [os.environ.get("PYTHONPATH")] if p]))
    try:
        run = subprocess.run([sys.executable, "-m", "pybind11_stubgen", "vorn_gpu", "-o",
                              str(out)], cwd=module_dir, env=env, capture_output=True, text=True)
        failure = "" if run.returncode == 0 and stub.is_file() else run.stdout + run.stderr
    except OSError as e:
        failure = str(e)
    if failure:
        print("-- vorn_gpu: type stubs not generated:\n" + failure)
        stub.unlink(missing_ok=True)
        return 0
    lines = stub.read_text().splitlines(keepends=True)
    try:
        lines = restore(lines, *runtime_facts(module_dir))
    except (OSError, subprocess.CalledProcessError, StopIteration, ValueError) as e:
        print(f"-- vorn_gpu: stubs keep pybind11-stubgen's enums and signatures ({e})")
    lines = fix_defaults(lines)
    # The build folder's path is no fact about an installed module.
    text = re.sub(r"^PTX_DIR: .*$", "PTX_DIR: str | None", "".join(lines), flags=re.M)
    stub.write_text(text)
    print(f"-- vorn_gpu: type stubs {stub}")
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
