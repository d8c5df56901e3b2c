#!/usr/bin/env python3
"""Offline checks of the device programs' PTX files (no GPU, no OptiX).

For each <stem>.ptx: the PTX ISA version is one the target drivers accept;
every optixTrace call site has the operand shape OptiX expects (32 outputs,
49 inputs: payload type, handle, 9 floats, 6 words, 32 payload words); and
ptxas assembles the file once every `_optix_*` callee has a dummy definition
whose register types match its call sites (ptxas cannot resolve the OptiX
intrinsics otherwise). Optional: the entry functions that must exist and the
byte size of the launch-parameter variable.

usage: check_ptx.py --ptxas PATH [--max-version 9.0] [--expect STEM:ENTRY,...]
                    [--params STEM:BYTES] FILE_OR_DIR...
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


def reg_class(operand):
    m = re.match(r"(%[a-z]+)\d+$", operand.strip())
    if not m or m.group(1) not in REG_TYPES:
        raise ValueError(f"operand {operand!r} is not a plain register")
    return m.group(1)


def split_operands(text):
    return [o.strip() for o in text.split(",") if o.strip()] if text else []


def call_sites(ptx):
    """(callee, [output classes], [input classes]) for every _optix_* call."""
    sites = []
    for m in CALL.finditer(ptx):
        outs = [reg_class(o) for o in split_operands(m.group(1))]
        ins = [reg_class(o) for o in split_operands(m.group(3))]
        sites.append((m.group(2), outs, ins))
    return sites


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
    limit = tuple(int(x) for x in args.max_version.split("."))
    if not m:
        errors.append("no .version directive")
    elif (int(m.group(1)), int(m.group(2))) > limit:
        errors.append(f".version {m.group(1)}.{m.group(2)} is newer than {args.max_version}")
    entries = set(re.findall(r"\.entry\s+([\w$]+)", ptx))
    for need in args.expect.get(stem, []):
        if need not in entries:
            errors.append(f"entry {need} missing")
    if stem in args.params:
        pm = re.search(r"\.const\s+(?:\.align\s+\d+\s+)?\.b8\s+params\[(\d+)\]", ptx)
        if not pm or int(pm.group(1)) != args.params[stem]:
            got = pm.group(1) if pm else "none"
            errors.append(f"params holds {got} bytes, the host record {args.params[stem]}")
    try:
        sites = call_sites(ptx)
    except ValueError as e:
        return errors + [str(e)]
    signatures = {}
    for name, outs, ins in sites:
        if name == "_optix_trace_typed_32" and (outs != ["%r"] * 32 or ins != TRACE_INPUTS):
            errors.append(f"optixTrace call with {len(outs)} outputs / {len(ins)} inputs "
                          "or wrong register classes")
        signatures.setdefault(name, (outs, ins))
    stubs = "".join(stub(n, o, i) for n, (o, i) in sorted(signatures.items()))
    stubbed = re.sub(r"(^\s*\.address_size\s+\d+\s*$)", lambda mm: mm.group(1) + "\n" + stubs,
                     ptx, count=1, flags=re.M)
    with tempfile.NamedTemporaryFile("w", suffix=".ptx", delete=False) as f:
        f.write(stubbed)
    try:
        r = subprocess.run([args.ptxas, "-arch=sm_75", f.name, "-o", os.devnull],
                           capture_output=True, text=True)
        if r.returncode != 0:
            errors.append("ptxas: " + (r.stderr.strip() or r.stdout.strip()))
    finally:
        os.unlink(f.name)
    return errors


def parse_map(items, convert):
    out = {}
    for item in items:
        stem, _, value = item.partition(":")
        out[stem] = convert(value)
    return out


def main(argv):
    ap = argparse.ArgumentParser()
    ap.add_argument("--ptxas", required=True)
    ap.add_argument("--max-version", default="9.0")
    ap.add_argument("--expect", action="append", default=[])
    ap.add_argument("--params", action="append", default=[])
    ap.add_argument("paths", nargs="+")
    args = ap.parse_args(argv)
    args.expect = parse_map(args.expect, lambda v: [e for e in v.split(",") if e])
    args.params = parse_map(args.params, int)
    files = []
    for p in args.paths:
        if os.path.isdir(p):
            files += sorted(os.path.join(p, f) for f in os.listdir(p) if f.endswith(".ptx"))
        else:
            files.append(p)
    failed = 0
    for path in files:
        errors = check_file(path, args)
        print(f"{'FAIL' if errors else 'ok  '} {path}")
        for e in errors:
            print(f"     {e}")
        failed += bool(errors)
    print(f"{len(files) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
