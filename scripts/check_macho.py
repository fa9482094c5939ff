"""Checks macOS extension modules by reading their Mach-O files (with macholib),
since no Mac is at hand to load them: a loadable 64-bit image for the given CPU,
the given minimum macOS in its load commands, a valid code signature on arm64,
only system libraries linked, only PyInit_<module> exported (besides what zig's
linker exports regardless, below), and every other symbol either bound to a
system library or left to the interpreter and part of the stable ABI of the
given CPython (abi3info's copy of CPython's own list, with the version of each).

    python scripts/check_macho.py --cpu arm64 --minos 11.0 --abi 3.10 FILE.so...

Prints one line per problem and exits 1 if there is any.
"""
import argparse
import hashlib
import os
import re
import struct
import sys

import abi3info
from macholib import mach_o
from macholib.MachO import MachO
from macholib.SymbolTable import SymbolTable

CPUS = {"arm64": 0x0100000C, "x86_64": 0x01000007}   # CPU_TYPE_ARM64, CPU_TYPE_X86_64
# what dlopen loads: zig's linker makes dylibs, Apple's bundles
LOADABLE = {mach_o.MH_BUNDLE, mach_o.MH_DYLIB}
SYSTEM_LIBS = {"/usr/lib/libSystem.B.dylib", "/usr/lib/libc++.1.dylib"}
FLAT_LOOKUP = -2   # BIND_SPECIAL_DYLIB_FLAT_LOOKUP: any loaded image, here the interpreter
# Zig's Mach-O linker exports these whatever it is told: the per-image symbols it
# makes, and the replaceable global allocation functions of its static libc++ as weak
# definitions (dyld coalesces those with the process's own, all of them malloc/free).
LINKER_MADE = {"__mh_dylib_header", "__mh_bundle_header", "___dso_handle"}
ALLOCATION = re.compile(r"__Z(?:(?:nw|na)m|(?:dl|da)Pvm?)(?:St11align_val_t)?(?:RKSt9nothrow_t)?")
OWN_CXX = re.compile(r"__ZT[ISV]N4deck")
LOAD_DYLIB_CMDS = {mach_o.LC_LOAD_DYLIB, mach_o.LC_LOAD_WEAK_DYLIB, mach_o.LC_REEXPORT_DYLIB,
                   mach_o.LC_LAZY_LOAD_DYLIB, mach_o.LC_LOAD_UPWARD_DYLIB}


def version(text):
    parts = [int(p) for p in text.split(".")] + [0, 0]
    return parts[0] << 16 | parts[1] << 8 | parts[2]


def uleb(data, pos):
    value = shift = 0
    while True:
        byte = data[pos]
        pos += 1
        value |= (byte & 0x7F) << shift
        shift += 7
        if byte < 0x80:
            return value, pos


def trie_exports(data):
    """Names in a dyld export trie, the table dlsym reads."""
    names, todo = [], [(0, "")]
    while todo:
        pos, prefix = todo.pop()
        size, pos = uleb(data, pos)
        if size:
            names.append(prefix)
        pos += size
        children = data[pos]
        pos += 1
        for _ in range(children):
            end = data.index(b"\0", pos)
            label = data[pos:end].decode()
            child, pos = uleb(data, end + 1)
            todo.append((child, prefix + label))
    return set(names)


def binds(data, lazy=False):
    """(symbol, library ordinal) for each bind in dyld's bind opcodes: the ordinal
    dyld uses (0 itself, -1 the executable, -2 any image, the flat lookup)."""
    out, pos, ordinal, symbol = [], 0, 0, None
    while pos < len(data):
        op, imm = data[pos] & 0xF0, data[pos] & 0x0F
        pos += 1
        if op == 0x00:                                   # DONE (lazy entries go on)
            if not lazy:
                break
        elif op == 0x10:                                 # SET_DYLIB_ORDINAL_IMM
            ordinal = imm
        elif op == 0x20:                                 # SET_DYLIB_ORDINAL_ULEB
            ordinal, pos = uleb(data, pos)
        elif op == 0x30:                                 # SET_DYLIB_SPECIAL_IMM
            ordinal = imm - 16 if imm else 0
        elif op == 0x40:                                 # SET_SYMBOL_TRAILING_FLAGS_IMM
            end = data.index(b"\0", pos)
            symbol, pos = data[pos:end].decode(), end + 1
        elif op == 0x50:                                 # SET_TYPE_IMM
            pass
        elif op in (0x60, 0x70, 0x80, 0xA0):             # ADDEND, SEGMENT_AND_OFFSET, ADD_ADDR
            _, pos = uleb(data, pos)                     # (an SLEB's length is read alike)
            if op == 0xA0:                               # DO_BIND_ADD_ADDR_ULEB
                out.append((symbol, ordinal))
        elif op in (0x90, 0xB0):                         # DO_BIND, DO_BIND_ADD_ADDR_IMM_SCALED
            out.append((symbol, ordinal))
        elif op == 0xC0:                                 # DO_BIND_ULEB_TIMES_SKIPPING_ULEB
            _, pos = uleb(data, pos)
            _, pos = uleb(data, pos)
            out.append((symbol, ordinal))
        else:
            raise ValueError("bind opcode %#x" % op)
    return out


def signature_problems(blob, image):
    """The ad-hoc signature arm64 macOS requires: each code page hashed in a CodeDirectory."""
    magic, _, count = struct.unpack_from(">III", blob)
    if magic != 0xFADE0CC0:
        return ["code signature is not a superblob"]
    for i in range(count):
        _, offset = struct.unpack_from(">II", blob, 12 + 8 * i)
        if struct.unpack_from(">I", blob, offset)[0] != 0xFADE0C02:
            continue
        (hash_off, _, _, n_code, limit, hash_size, hash_type, _, page_log) = struct.unpack_from(
            ">IIIIIBBBB", blob, offset + 16)
        algo = {1: "sha1", 2: "sha256"}.get(hash_type)
        if algo is None:
            return ["code directory hash type %d" % hash_type]
        page = 1 << page_log
        for slot in range(n_code):
            want = blob[offset + hash_off + slot * hash_size:][:hash_size]
            got = hashlib.new(algo, image[slot * page:min((slot + 1) * page, limit)]).digest()
            if got[:hash_size] != want:
                return ["code signature does not match page %d" % slot]
        if n_code * page < limit:
            return ["code signature covers %d of %d bytes" % (n_code * page, limit)]
        return []
    return ["code signature has no code directory"]


def stable_abi(version):
    """Functions and data of the stable ABI up to VERSION, less the Windows-only ones."""
    items = list(abi3info.FUNCTIONS.values()) + list(abi3info.DATAS.values())
    return {i.symbol.name for i in items if (i.added.major, i.added.minor) <= version
            and (i.ifdef is None or i.ifdef.name != "MS_WINDOWS")}


def check(path, cpu, minos, abi):
    problems = []
    module = os.path.basename(path).split(".")[0]
    with open(path, "rb") as f:
        image = f.read()
    macho = MachO(path)
    if len(macho.headers) != 1:
        return ["%d architectures (a fat file)" % len(macho.headers)]
    head = macho.headers[0]
    if head.header.magic != mach_o.MH_MAGIC_64:
        problems.append("not a 64-bit Mach-O file")
    if head.header.cputype != CPUS[cpu]:
        problems.append("CPU type %#x, not %s" % (head.header.cputype, cpu))
    if head.header.filetype not in LOADABLE:
        problems.append("file type %d is not a bundle or dylib" % head.header.filetype)
    if not head.header.flags & mach_o.MH_TWOLEVEL:
        problems.append("flat namespace: its imports are not bound to libraries")

    mins, libs, trie, signature, info = [], [], None, None, None
    for lc, cmd, data in head.commands:
        if lc.cmd == mach_o.LC_BUILD_VERSION:
            mins.append((cmd.platform, cmd.minos))
        elif lc.cmd == mach_o.LC_VERSION_MIN_MACOSX:
            mins.append((mach_o.PLATFORM_MACOS, cmd.version))
        elif lc.cmd in LOAD_DYLIB_CMDS:
            libs.append(data.split(b"\0", 1)[0].decode())
        elif lc.cmd in (mach_o.LC_DYLD_INFO, mach_o.LC_DYLD_INFO_ONLY):
            info = cmd
            trie = image[cmd.export_off:cmd.export_off + cmd.export_size]
        elif lc.cmd == mach_o.LC_DYLD_EXPORTS_TRIE:
            trie = image[cmd.dataoff:cmd.dataoff + cmd.datasize]
        elif lc.cmd == mach_o.LC_DYLD_CHAINED_FIXUPS:
            problems.append("imports in chained fixups, which this check does not read")
        elif lc.cmd == mach_o.LC_CODE_SIGNATURE:
            signature = (cmd.dataoff, image[cmd.dataoff:cmd.dataoff + cmd.datasize])
    if mins != [(mach_o.PLATFORM_MACOS, version(minos))]:
        problems.append("minimum OS %s, not macOS %s" % (
            ["platform %d %d.%d.%d" % (p, v >> 16, v >> 8 & 255, v & 255) for p, v in mins], minos))
    if not libs or any(lib not in SYSTEM_LIBS for lib in libs):
        problems.append("links %s, not only system libraries" % libs)
    if signature:
        problems += signature_problems(signature[1], image[:signature[0]])
    elif cpu == "arm64":
        problems.append("no code signature (arm64 macOS loads signed code only)")

    table = SymbolTable(macho)
    extdefs, undefs = ([(n, name.decode() if isinstance(name, bytes) else name) for n, name in part]
                       for part in (table.extdefsyms, table.undefsyms))
    weak_defs = {name for n, name in extdefs if n.n_desc & mach_o.N_WEAK_DEF}
    allowed = {"_PyInit_" + module} | LINKER_MADE | {n for n in weak_defs if ALLOCATION.fullmatch(n)}
    exported = trie_exports(trie) if trie else set()
    if exported - allowed:
        problems.append("exports %s besides _PyInit_%s" % (sorted(exported - allowed), module))
    if "_PyInit_" + module not in exported:
        problems.append("does not export _PyInit_" + module)
    defined = {name for n, name in extdefs if not n.n_type & mach_o.N_PEXT}
    if defined != exported:
        problems.append("external symbols %s differ from the exports" % sorted(defined ^ exported))

    if info is None:
        return problems + ["no dyld bind information"]
    imports = binds(image[info.bind_off:info.bind_off + info.bind_size]) + binds(
        image[info.lazy_bind_off:info.lazy_bind_off + info.lazy_bind_size], lazy=True)
    python, unknown = set(), set()
    for name, ordinal in imports:
        if ordinal == FLAT_LOOKUP and name.startswith("_") and name[1:] in abi:
            python.add(name)
        elif not 1 <= ordinal <= len(libs):
            unknown.add("%s (%s)" % (name, "left to the loader" if ordinal == FLAT_LOOKUP
                                     else "library ordinal %d" % ordinal))
    coalesced = {name for name, _ in binds(image[info.weak_bind_off:info.weak_bind_off + info.weak_bind_size])}
    # weak definitions dyld may share with other images' exports: the allocation
    # functions, and the modules' own C++ names (their type info; hidden, so no other
    # image exports them and dyld keeps the image's own)
    unknown |= {name + " (coalesced)" for name in coalesced
                if not ALLOCATION.fullmatch(name) and not OWN_CXX.match(name)}
    if unknown:
        problems.append("symbols outside the 3.10 stable ABI and the system: %s" % sorted(unknown))
    # references the linker kept in the symbol table but dyld never binds
    bound = {name for name, _ in imports} | coalesced
    unbound = [name for n, name in undefs if name not in bound
               and not 1 <= n.n_desc >> 8 & 0xFF <= len(libs) and name[1:] not in abi]
    if unbound:
        problems.append("undefined symbols of no system library: %s" % sorted(unbound))
    if not python:
        problems.append("no Python symbol is left to the interpreter")
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cpu", choices=sorted(CPUS), required=True)
    parser.add_argument("--minos", required=True, help="minimum macOS, e.g. 11.0")
    parser.add_argument("--abi", required=True, help="the stable ABI of this CPython, e.g. 3.10")
    parser.add_argument("files", nargs="+")
    args = parser.parse_args()
    abi = stable_abi(tuple(int(p) for p in args.abi.split(".")))
    failed = False
    for path in args.files:
        for problem in check(path, args.cpu, args.minos, abi):
            print("%s: %s" % (os.path.basename(path), problem))
            failed = True
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
