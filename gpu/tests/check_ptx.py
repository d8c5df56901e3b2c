#!/usr/bin/env python3
"""Offline checks of device-program PTX files (no GPU, no OptiX): the .version is
at most --max-version; every optixTrace call has OptiX's operand shape (32
outputs; 49 inputs: payload type, handle, 9 floats, 6 words, 32 payload words);
ptxas assembles the file once each `_optix_*` callee has a dummy definition
matching its call sites; optionally, named entries exist (--expect
STEM:ENTRY,...) and the params variable has a size (--params STEM:BYTES).
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile

REG_TYPES = {"%r": ".b32", "%rd": ".b64", "%f": ".f32", "%fd": ".f64", "%rs": ".b16"}
TRACE_INPUTS = ["%r", "%rd"] + ["%f"] * 9 + ["%r"] * 6 + ["%r"] * 32
CALL = re.compile(r"call(?:\.uni)?\s*(?:\(([^)]*)\)\s*,)?\s*(_optix_\w+)\s*,\s*\(([^)]*)\)")


def reg_classes(text):
    classes = []
    for operand in filter(None, (o.strip() for o in (text or "").split(","))):
        m = re.match(r"(%[a-z]+)\d+$", operand)
        if not m or m.group(1) not in REG_TYPES:
            raise ValueError(f"operand {operand!r} is not a plain register")
        classes.append(m.group(1))
    return classes


def stub(name, outs, ins):
    """A definition ptxas accepts for one intrinsic: zero outputs, ignore inputs."""
    out_decl = ", ".join(f".reg {REG_TYPES[c]} o{i}" for i, c in enumerate(outs))
    in_decl = ", ".join(f".reg {REG_TYPES[c]} a{i}" for i, c in enumerate(ins))
    body = "".join(f"mov{REG_TYPES[c]} o{i}, {'0f00000000' if c == '%f' else '0'}; "
                   for i, c in enumerate(outs))
    head = f".func ({out_decl}) {name}" if outs else f".func {name}"
    return f"{head} ({in_decl})\n{{ {body}ret; }}\n"


def check_file(path, args):
    errors = []
    ptx = open(path).read()
    stem = os.path.splitext(os.path.basename(path))[0]
    m = re.search(r"^\s*\.version\s+(\d+)\.(\d+)", ptx, re.M)
    if not m:
        errors.append("no .version directive")
    elif (int(m.group(1)), int(m.group(2))) > tuple(map(int, args.max_version.split("."))):
        errors.append(f".version {m.group(1)}.{m.group(2)} is newer than {args.max_version}")
    entries = set(re.findall(r"\.entry\s+([\w$]+)", ptx))
    errors += [f"entry {e} missing" for e in args.expect.get(stem, []) if e not in entries]
    if stem in args.params:
        pm = re.search(r"\.const\s+(?:\.align\s+\d+\s+)?\.b8\s+params\[(\d+)\]", ptx)
        if not pm or int(pm.group(1)) != args.params[stem]:
            got = pm.group(1) if pm else "none"
            errors.append(f"params holds {got} bytes, the host record {args.params[stem]}")
    signatures = {}
    try:
        for m in CALL.finditer(ptx):
            name, outs, ins = m.group(2), reg_classes(m.group(1)), reg_classes(m.group(3))
            if name == "_optix_trace_typed_32" and (outs != ["%r"] * 32 or ins != TRACE_INPUTS):
                errors.append(f"optixTrace call with {len(outs)} outputs / {len(ins)} inputs "
                              "or wrong register classes")
            signatures.setdefault(name, (outs, ins))
    except ValueError as e:
        return errors + [str(e)]
    stubs = "".join(stub(n, o, i) for n, (o, i) in sorted(signatures.items()))
    stubbed = re.sub(r"(^\s*\.address_size\s+\d+\s*$)", lambda mm: mm.group(1) + "\n" + stubs,
                     ptx, count=1, flags=re.M)
    with tempfile.TemporaryDirectory() as tmp:
        src = os.path.join(tmp, "stubbed.ptx")
        with open(src, "w") as f:
            f.write(stubbed)
        r = subprocess.run([args.ptxas, "-arch=sm_75", src, "-o", os.devnull],
                           capture_output=True, text=True)
    if r.returncode != 0:
        errors.append("ptxas: " + (r.stderr.strip() or r.stdout.strip()))
    return errors


def main(argv):
    ap = argparse.ArgumentParser()
    ap.add_argument("--ptxas", required=True)
    ap.add_argument("--max-version", default="9.0")
    ap.add_argument("--expect", action="append", default=[])
    ap.add_argument("--params", action="append", default=[])
    ap.add_argument("paths", nargs="+")
    args = ap.parse_args(argv)
    args.expect = {s: v.split(",") for s, _, v in (i.partition(":") for i in args.expect)}
    args.params = {s: int(v) for s, _, v in (i.partition(":") for i in args.params)}
    files = []
    for p in args.paths:
        files += (sorted(os.path.join(p, f) for f in os.listdir(p) if f.endswith(".ptx"))
                  if os.path.isdir(p) else [p])
    stems = {os.path.splitext(os.path.basename(f))[0] for f in files}
    failed = 0
    for stem in sorted(set(args.expect) - stems):
        print(f"FAIL {stem}.ptx\n     expected, but no such file was given")
        failed += 1
    for path in files:
        errors = check_file(path, args)
        print(f"{'FAIL' if errors else 'ok  '} {path}")
        print("".join(f"     {e}\n" for e in errors), end="")
        failed += bool(errors)
    print(f"{len(files)} files checked, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
