#!/usr/bin/env python3
"""Compares the Python binding's copies of the public header with the header:
its result codes (``nivoratest.Result``), its NVM types (``nivoratest.NVM``)
and the ctypes prototype (result type and every argument type) of every
export. Prints one line per difference and exits with 1; 0 when they agree.

    check_python_binding.py --header include/nivoratest.h --package python

The binding is imported from the package folder; the library is not loaded.
"""

import argparse
import ctypes
import re
import sys
from typing import Any, Dict, List, Tuple

# C types of the header and the ctypes types that match them. ctypes has no
# name of its own for uintptr_t: size_t has its width on every platform the
# library is built for.
SCALARS = {
    "int32_t": ctypes.c_int32,
    "uint8_t": ctypes.c_uint8,
    "uint16_t": ctypes.c_uint16,
    "uint32_t": ctypes.c_uint32,
    "uintptr_t": ctypes.c_size_t,
    "NvtHandle": ctypes.c_void_p,
}


def ctype_of(c_type: str) -> Any:
    """The ctypes type for a C type of the header ("const char*", "uint16_t*")."""
    text = re.sub(r"\bconst\b", "", c_type)
    text = re.sub(r"\s+", "", text)
    if text == "char*":
        return ctypes.c_char_p
    if text.endswith("*"):
        return ctypes.POINTER(ctype_of(text[:-1]))
    if text in SCALARS:
        return SCALARS[text]
    raise ValueError(f"no ctypes type known for the C type {c_type!r}")


def name_of(ctype: Any) -> str:
    if isinstance(ctype, type) and issubclass(ctype, ctypes._Pointer):
        return f"POINTER({name_of(ctype._type_)})"
    return getattr(ctype, "__name__", repr(ctype))


def read_header(path: str) -> Tuple[Dict[str, int], Dict[str, int], Dict[str, Tuple[Any, List[Any]]]]:
    text = open(path, encoding="utf-8").read()
    results = {m.group(1): int(m.group(2)) for m in re.finditer(
        r"^#define\s+NVT_(WARNING|OK|ERR_[A-Z_]+)\s+\(?\s*(-?\d+)\s*\)?", text, re.M)}
    nvm = {m.group(1): int(m.group(2)) for m in re.finditer(
        r"^#define\s+NVT_NVM_([A-Z_]+)\s+(\d+)", text, re.M)}
    prototypes: Dict[str, Tuple[Any, List[Any]]] = {}
    for m in re.finditer(r"^NVT_API\s+(.+?)\s*NVT_CALL\s+(nvt[A-Za-z]+)\s*\(([^)]*)\)\s*;", text, re.M | re.S):
        restype, name, params = m.group(1), m.group(2), m.group(3).strip()
        argtypes = []
        if params and params != "void":
            for param in params.split(","):
                # The parameter's name is its last word; the rest is its type.
                c_type = re.sub(r"[A-Za-z_][A-Za-z_0-9]*\s*$", "", param.strip())
                argtypes.append(ctype_of(c_type))
        prototypes[name] = (ctype_of(restype), argtypes)
    return results, nvm, prototypes


def compare(header: str, package: str) -> List[str]:
    sys.path.insert(0, package)
    from nivoratest import NVM, Result, _library  # noqa: E402 (the package given on the command line)

    results, nvm, prototypes = read_header(header)
    problems = []
    if not prototypes or not results:
        problems.append(f"{header}: no exports or no result codes found")
    for kind, expected, found in (("result code", results, {m.name: int(m.value) for m in Result}),
                                  ("NVM type", nvm, {m.name: int(m.value) for m in NVM})):
        for key in sorted(set(expected) | set(found)):
            if key not in found:
                problems.append(f"{kind} NVT_{'NVM_' if kind == 'NVM type' else ''}{key} = {expected[key]} "
                                "is missing in the binding")
            elif key not in expected:
                problems.append(f"{kind} {key} = {found[key]} of the binding is not in the header")
            elif expected[key] != found[key]:
                problems.append(f"{kind} {key} is {expected[key]} in the header, {found[key]} in the binding")
    bound = _library.PROTOTYPES
    for name in sorted(set(prototypes) | set(bound)):
        if name not in bound:
            problems.append(f"{name} has no prototype in the binding")
            continue
        if name not in prototypes:
            problems.append(f"{name} of the binding is not declared in the header")
            continue
        (c_res, c_args), (py_res, py_args) = prototypes[name], bound[name]
        if c_res is not py_res:
            problems.append(f"{name} returns {name_of(c_res)} in the header, {name_of(py_res)} in the binding")
        if len(c_args) != len(py_args):
            problems.append(f"{name} takes {len(c_args)} arguments in the header, {len(py_args)} in the binding")
            continue
        for index, (c_arg, py_arg) in enumerate(zip(c_args, py_args)):
            if c_arg is not py_arg:
                problems.append(f"{name} argument {index + 1} is {name_of(c_arg)} in the header, "
                                f"{name_of(py_arg)} in the binding")
    return problems


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--header", required=True, help="the public header nivoratest.h")
    parser.add_argument("--package", required=True, help="the folder that holds the nivoratest package")
    args = parser.parse_args()
    problems = compare(args.header, args.package)
    if problems:
        print("the Python binding differs from the header:\n  " + "\n  ".join(problems))
        return 1
    results, nvm, prototypes = read_header(args.header)
    print(f"the Python binding agrees with the header: {len(results)} result codes, {len(nvm)} NVM types, "
          f"{len(prototypes)} prototypes")
    return 0


if __name__ == "__main__":
    sys.exit(main())
