#!/usr/bin/env python3
"""Which Windows carries which library and function, for disckit check.

Two steps, so that the build machines (which have no network) can redo the second:

  extract API_DIR SOURCE reads the JSON form of the Windows SDK's metadata (the api/*.json of a
                         checkout of marlersoft/win32json, which renders microsoft/win32metadata)
                         and prints our own extract of it, scripts/system-libraries/metadata.tsv:
                         per library the first client system that has any of its documented
                         functions, and the functions that came later than their library.
  generate [--check]     turns that extract, the run-time families of runtimes.tsv and the names
                         of the import libraries of Debian's MinGW-w64 (mingw-w64-i686-dev) into
                         kit/windows/SystemLibraryTable.cpp; with --check, fails when the file differs.

The metadata dates a function by the first client system its documentation names ("windows5.1.2600",
"windows8.0", "windows10.0.14393"; "windowsServer2008" for a function no client has). Anything
Windows 7 or older counts as Windows 7, the oldest system the launcher runs on.
"""
import glob
import json
import os
import struct
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
EXTRACT = os.path.join(HERE, "system-libraries", "metadata.tsv")
RUNTIMES = os.path.join(HERE, "system-libraries", "runtimes.tsv")
OUTPUT = os.path.join(ROOT, "kit", "windows", "SystemLibraryTable.cpp")
MINGW_LIB = "/usr/i686-w64-mingw32/lib"
MINGW_PACKAGE = "mingw-w64-i686-dev"

# Releases in the order of kit/windows/SystemLibraryTable.h.
RELEASES = ["7", "8", "8.1", "10", "11"]
SERVER_ONLY = "server"
UNDATED = "undated"
FIRST_WINDOWS_11_BUILD = 22000


def release_of(platform):
    """(release index, build) of a metadata platform; None for a server-only one."""
    if platform.startswith("windowsServer"):
        return None
    numbers = tuple(int(part) for part in platform[len("windows"):].split("."))
    if numbers < (6, 2):
        return (0, 0)
    if numbers[:2] == (6, 2) or numbers[:2] == (8, 0):
        return (1, 0)
    if numbers[:2] == (6, 3) or numbers[:2] == (8, 1):
        return (2, 0)
    build = numbers[2] if len(numbers) > 2 else 0
    return (4, build) if build >= FIRST_WINDOWS_11_BUILD else (3, build)


def library_name(dll_import):
    name = dll_import.lower()
    return name if "." in name else name + ".dll"


def extract(api_dir):
    dated = {}  # library -> {function: (release, build)} for client functions
    server = set()
    named = set()  # every library the metadata names, dated or not
    for path in sorted(glob.glob(os.path.join(api_dir, "*.json"))):
        with open(path, encoding="utf-8-sig") as f:
            api = json.load(f)
        for function in api.get("Functions", []):
            dll, platform = function.get("DllImport"), function.get("Platform")
            if not dll:
                continue
            library = library_name(dll)
            named.add(library)
            if not platform:
                continue
            release = release_of(platform)
            if release is None:
                server.add(library)
                continue
            functions = dated.setdefault(library, {})
            old = functions.get(function["Name"])
            functions[function["Name"]] = release if old is None else min(old, release)
    rows = []
    for library in sorted(server - set(dated)):
        rows.append((library, "*", SERVER_ONLY))
    for library in sorted(named - server - set(dated)):
        rows.append((library, "*", UNDATED))
    for library in sorted(dated):
        functions = dated[library]
        first = min(functions.values())
        rows.append((library, "*", "%s %d" % (RELEASES[first[0]], first[1])))
        later = {name: r for name, r in functions.items() if r > first}
        # Where most of a library's functions carry one later date, the documentation dates the
        # current version of a redistributed component, not the functions (every Windows
        # Installer function, say, reads "Windows 8" while Windows 7 has them all): those dates
        # say nothing of a single function.
        if later and max(list(later.values()).count(r) for r in later.values()) * 2 > len(functions):
            continue
        for name in sorted(later):
            rows.append((library, name, "%s %d" % (RELEASES[later[name][0]], later[name][1])))
    return rows


def dlls_of_import_library(path):
    """The names of the libraries an import library's members import from."""
    with open(path, "rb") as f:
        data = f.read()
    names = set()
    pos = 8  # past "!<arch>\n"
    while pos + 60 <= len(data):
        size = int(data[pos + 48:pos + 58].decode("ascii").strip())
        member = data[pos + 60:pos + 60 + size]
        pos += 60 + size + (size & 1)
        if len(member) < 20:
            continue
        sig1, sig2 = struct.unpack_from("<HH", member, 0)
        if sig1 == 0 and sig2 == 0xFFFF:  # short import member: symbol NUL library NUL
            names.add(member[20:].split(b"\0")[1].decode("latin-1").lower())
            continue
        machine, sections, _, _, _, optional, _ = struct.unpack_from("<HHIIIHH", member, 0)
        if machine != 0x14C:
            continue
        for i in range(sections):
            header = member[20 + optional + 40 * i:20 + optional + 40 * (i + 1)]
            if header[:8].rstrip(b"\0") == b".idata$7":  # the library's name
                size, offset = struct.unpack_from("<II", header, 16)
                name = member[offset:offset + size].split(b"\0")[0]
                if name:
                    names.add(name.decode("latin-1").lower())
    return names


def read_tsv(path):
    with open(path, encoding="utf-8") as f:
        return [line.rstrip("\n").split("\t") for line in f
                if line.strip() and not line.startswith("#")]


def source_lines(path):
    with open(path, encoding="utf-8") as f:
        return [line[len("# Source: "):].rstrip("\n") for line in f if line.startswith("# Source: ")]


def c_string(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def generate():
    metadata = read_tsv(EXTRACT)
    runtimes = read_tsv(RUNTIMES)  # prefix, origin (update | redistributed), what it is
    version = subprocess.run(["dpkg-query", "-W", "-f", "${Version}", MINGW_PACKAGE],
                             capture_output=True, text=True).stdout.strip() or "unknown"
    mingw = set()
    for path in sorted(glob.glob(os.path.join(MINGW_LIB, "lib*.a"))):
        mingw |= dlls_of_import_library(path)
    if not mingw:
        sys.exit("system-libraries: no import libraries in %s (install %s)" % (MINGW_LIB, MINGW_PACKAGE))
    # Drivers and the kernel export to drivers, never to a program.
    mingw = {name for name in mingw if not name.endswith((".sys", ".exe", ".def"))}

    def runtime_of(name):
        for prefix, origin, _ in runtimes:
            if name.startswith(prefix):
                return origin
        return None

    libraries = {}  # name -> (origin, release, build)
    functions = []
    for library, function, when in metadata:
        if function != "*":
            functions.append((library, function) + tuple(when.split()))
            continue
        if when == SERVER_ONLY:
            libraries[library] = ("ServerOnly", "7", "0")
        elif when == UNDATED:
            libraries[library] = ("Windows", "7", "0")
        else:
            libraries[library] = ("Windows",) + tuple(when.split())
    # A library the SDK documents or links against, but whose functions the metadata does not
    # date, is taken to be on every supported system, unless it belongs to a run-time family that
    # Windows does not ship.
    for name in mingw:
        libraries.setdefault(name, ("Windows", "7", "0"))
    for name in list(libraries):
        origin = runtime_of(name)
        if origin == "update":
            libraries[name] = ("Update", "10", "0")
        elif origin == "redistributed":
            libraries[name] = ("NotWindows", "7", "0")

    index = {release: i for i, release in enumerate(RELEASES)}
    out = []
    out.append("// Generated by scripts/system-libraries.py generate: do not edit.")
    out.append("// Sources:")
    for line in source_lines(EXTRACT):
        out.append("//   " + line)
    out.append("//   extracted into scripts/system-libraries/metadata.tsv by the extract step.")
    out.append("//   The import libraries of Debian's %s %s (the names of %d libraries)." % (
        MINGW_PACKAGE, version, len(mingw)))
    out.append("//   The run-time families of scripts/system-libraries/runtimes.tsv, with their sources.")
    out.append('#include "kit/windows/SystemLibraryTable.h"')
    out.append("")
    out.append("const SystemLibraryRow kSystemLibraryRows[] = {")
    for name in sorted(libraries):
        origin, release, build = libraries[name]
        out.append("    {%s, LibraryOrigin::%s, %d, %s}," % (c_string(name), origin, index[release], build))
    out.append("};")
    out.append("const std::size_t kSystemLibraryRowCount = std::size(kSystemLibraryRows);")
    out.append("")
    out.append("const SystemFunctionRow kSystemFunctionRows[] = {")
    for library, function, release, build in sorted(functions):
        out.append("    {%s, %s, %d, %s}," % (c_string(library), c_string(function), index[release], build))
    out.append("};")
    out.append("const std::size_t kSystemFunctionRowCount = std::size(kSystemFunctionRows);")
    out.append("")
    out.append("const RuntimeFamilyRow kRuntimeFamilyRows[] = {")
    for prefix, origin, what in runtimes:
        kind = "Update" if origin == "update" else "NotWindows"
        out.append("    {%s, LibraryOrigin::%s, %s}," % (c_string(prefix), kind, c_string(what)))
    out.append("};")
    out.append("const std::size_t kRuntimeFamilyRowCount = std::size(kRuntimeFamilyRows);")
    return "\n".join(out) + "\n"


def main(argv):
    if len(argv) >= 2 and argv[0] == "extract":
        api_dir = argv[1]
        source = argv[2] if len(argv) > 2 else api_dir
        sys.stdout.write("# Source: the Windows SDK's metadata (microsoft/win32metadata), as JSON\n")
        sys.stdout.write("# Source: in %s\n" % source)
        sys.stdout.write("# library\tfunction (* for the library itself)\tfirst client system and build, "
                         "or server (no client) or undated\n")
        for row in extract(api_dir):
            sys.stdout.write("\t".join(row) + "\n")
        return 0
    if argv and argv[0] == "generate":
        text = generate()
        if "--check" in argv:
            with open(OUTPUT, encoding="utf-8") as f:
                if f.read() != text:
                    sys.stderr.write("kit/windows/SystemLibraryTable.cpp is not what its sources "
                                     "give: run scripts/system-libraries.py generate\n")
                    return 1
            return 0
        with open(OUTPUT, "w", encoding="utf-8") as f:
            f.write(text)
        return 0
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
