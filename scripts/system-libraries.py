#!/usr/bin/env python3
"""Which Windows carries which library and function, for disckit check.

The facts come from three public sources, each reduced here to an extract kept in the repository,
so that the build machines (which have no network) can redo the last step:

  extract API_DIR SOURCE  reads the JSON form of the Windows SDK's metadata (the api/*.json of a
                          checkout of marlersoft/win32json, which renders microsoft/win32metadata)
                          and prints scripts/system-libraries/metadata.tsv: per library the first
                          client system that has any of its documented functions, and every
                          function that the documentation dates later than Windows 7.
  extract-exports DIR SOURCE
                          reads a checkout of Chuyu-Team/YY-Thunks, a project that back-ports
                          functions of Windows 8 and later to older systems: the export tables of
                          the 32-bit system libraries of Windows 7 (6.1.7600), 8, 8.1 and 10
                          (10.0.10240) that its dependency analyser ships, and the system each of
                          its thunks stands in for. Prints scripts/system-libraries/exports.tsv:
                          per library the first of those systems that has it, per function of a
                          library the first system that exports it when that is later than the
                          library, and per thunk its library, function and first system.
  extract-wine            reads the file lists of Debian's libwine:i386 and libwine:amd64 (installed,
                          or downloaded with apt-get download and unpacked) and prints
                          scripts/system-libraries/wine.tsv: the names of the Windows libraries
                          that Wine re-implements (so Windows ships them), and Wine's own private
                          libraries, which no Windows has.
  generate [--check]      turns those extracts, the run-time families of runtimes.tsv and the names
                          of the import libraries of Debian's MinGW-w64 (mingw-w64-i686-dev) into
                          kit/windows/SystemLibraryTable.cpp; with --check, fails when the file differs.

The metadata dates a function by the first client system its documentation names ("windows5.1.2600",
"windows8.0", "windows10.0.14393"; "windowsServer2012" for a function no client is named for, taken
as the client of the same kernel). Anything Windows 7 or older counts as Windows 7, the oldest
system the launcher runs on.

To redo the extracts:
  git --git-dir=MIRROR/win32json archive HEAD api | tar -x -C /tmp/w32 &&
      scripts/system-libraries.py extract /tmp/w32/api "marlersoft/win32json at commit ..." > metadata.tsv
  git --git-dir=MIRROR/YY-Thunks archive HEAD src | tar -x -C /tmp/yy &&
      scripts/system-libraries.py extract-exports /tmp/yy "Chuyu-Team/YY-Thunks at commit ..." > exports.tsv
  scripts/system-libraries.py extract-wine > wine.tsv
"""
import glob
import json
import os
import re
import struct
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
EXTRACT = os.path.join(HERE, "system-libraries", "metadata.tsv")
RUNTIMES = os.path.join(HERE, "system-libraries", "runtimes.tsv")
EXPORTS = os.path.join(HERE, "system-libraries", "exports.tsv")
WINE = os.path.join(HERE, "system-libraries", "wine.tsv")
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


# The client of the same kernel as a server release, for a function documented for servers only.
SERVER_KERNELS = {"windowsServer2000": (0, 0), "windowsServer2003": (0, 0),
                  "windowsServer2008": (0, 0), "windowsServer2012": (1, 0),
                  "windowsServer2016": (3, 14393)}


def when_text(release):
    return "%s %d" % (RELEASES[release[0]], release[1])


def extract(api_dir):
    dated = {}  # library -> {function: (release, build)} for client functions
    server_dated = {}  # library -> {function: (release, build)} for functions of servers only
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
                kernel = SERVER_KERNELS.get(platform)
                if kernel:
                    functions = server_dated.setdefault(library, {})
                    old = functions.get(function["Name"])
                    functions[function["Name"]] = kernel if old is None else min(old, kernel)
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
        functions = dict(server_dated.get(library, {}))
        functions.update(dated[library])
        rows.append((library, "*", when_text(min(dated[library].values()))))
        # Every dated function later than the oldest system: the generate step judges them.
        for name in sorted(functions):
            if functions[name] > (0, 0):
                rows.append((library, name, when_text(functions[name])))
    return rows


YY_SYSTEMS = [("6.1.7600", 0), ("6.2.9200", 1), ("6.3.9600", 2), ("10.0.10240", 3)]


def yy_release(macro):
    """(release, build) of a YY-Thunks target macro such as __WindowsNT6_2 or __WindowsNT10_14393."""
    parts = macro[len("__WindowsNT"):].split("_")
    major = int(parts[0])
    minor = int(parts[1]) if len(parts) > 1 and parts[1].isdigit() else 0
    if major == 10:
        build = minor
        return (4, build) if build >= FIRST_WINDOWS_11_BUILD else (3, build)
    if (major, minor) < (6, 2):
        return (0, 0)
    return (1, 0) if minor == 2 else (2, 0)


def yy_export_lists(src_dir):
    """{library: set of exported names} for each 32-bit system the analyser lists."""
    lists = []
    for version, _ in YY_SYSTEMS:
        libraries, current = {}, None
        path = os.path.join(src_dir, "YY.Depends.Analyzer", "Config", "x86", version + ".txt")
        with open(path, encoding="utf-8-sig", errors="replace") as f:
            for line in f:
                line = line.strip()
                if line.startswith("[") and line.endswith("]"):
                    current = libraries.setdefault(line[1:-1].lower(), set())
                elif current is not None and "=" in line:
                    name = line.split("=", 1)[1].strip()
                    if name:
                        current.add(name)
        lists.append(libraries)
    return lists


def yy_thunks(src_dir):
    """(library, function, release) of each thunk, by the guard that compiles it in."""
    guard = re.compile(r"#\s*if\s*\(\s*YY_Thunks_Target\s*<\s*(__WindowsNT[0-9A-Za-z_]+)\s*\)")
    define = re.compile(r"__DEFINE_THUNK\s*\(([^)]*)")
    found = {}
    for path in sorted(glob.glob(os.path.join(src_dir, "Thunks", "*.hpp"))):
        with open(path, encoding="utf-8-sig", errors="replace") as f:
            text = f.read()
        guards = [(m.start(), m.group(1)) for m in guard.finditer(text)]
        for m in define.finditer(text):
            before = [macro for start, macro in guards if start < m.start()]
            if not before:
                continue
            args = [arg.strip() for arg in m.group(1).split(",")]
            if len(args) < 5 or not args[4].isidentifier():
                continue
            module = args[0]
            if module.startswith(("api_ms_win", "ext_ms_win")):
                module = module.replace("_", "-")
            library = module.lower() + ("" if "." in module else ".dll")
            release = yy_release(before[-1])
            key = (library, args[4])
            found[key] = min(found.get(key, release), release)
    return sorted((library, function, release) for (library, function), release in found.items())


def importable_libraries():
    """The libraries a program links against: those of MinGW's import libraries and of the other
    extracts (run extract and extract-wine first)."""
    names = mingw_libraries()
    names |= {row[0] for row in read_tsv(EXTRACT)}
    if os.path.exists(WINE):
        names |= {row[0] for row in read_tsv(WINE)}
    return names


def extract_exports(src_dir):
    """Every library of the lists; of the libraries programs link against, each function that came
    later than its library, and each function the metadata dates later than Windows 7 or a thunk
    stands in for (so that the sources can be compared). C++ names are left out: no program imports them from Windows."""
    lists = yy_export_lists(src_dir)
    importable = importable_libraries()
    thunks = yy_thunks(src_dir)
    # The functions the other sources date, so that the tables' date of each can be compared.
    documented = {(row[0], row[1]) for row in read_tsv(EXTRACT) if row[1] != "*"}
    documented |= {(library, function) for library, function, _ in thunks}
    rows = []
    for library in sorted(set().union(*lists)):
        present = [i for i, names in enumerate(lists) if library in names]
        first = present[0]
        rows.append(("export", library, "*", when_text((YY_SYSTEMS[first][1], 0))))
        if library not in importable:
            continue
        dates = {}
        for index in reversed(present):
            for name in lists[index][library]:
                dates[name] = index
        for name in sorted(dates):
            if name.startswith("?"):
                continue
            if dates[name] > first or (library, name) in documented:
                rows.append(("export", library, name, when_text((YY_SYSTEMS[dates[name]][1], 0))))
    for library, function, release in thunks:
        rows.append(("thunk", library, function, when_text(release)))
    return rows


WINE_PACKAGES = ["libwine:i386", "libwine:amd64"]
WINE_FOLDERS = ("/wine/i386-windows/", "/wine/x86_64-windows/")
# What a program may import: libraries, drivers of the user side (winspool.drv), controls.
WINE_KINDS = (".dll", ".drv", ".ocx", ".cpl", ".acm", ".ax", ".ds")


def wine_is_private(name):
    """Wine's own libraries: its graphics and sound drivers, its Direct3D, its bridges to Linux."""
    return name.startswith("wine")


def extract_wine():
    names, versions = set(), []
    for package in WINE_PACKAGES:
        listed = subprocess.run(["dpkg-query", "-L", package], capture_output=True, text=True)
        version = subprocess.run(["dpkg-query", "-W", "-f", "${Version}", package],
                                 capture_output=True, text=True).stdout.strip()
        if listed.returncode != 0 or not version:
            sys.exit("system-libraries: %s is not installed (scripts/deps.sh wine)" % package)
        versions.append("%s %s" % (package, version))
        for path in listed.stdout.splitlines():
            if any(folder in path for folder in WINE_FOLDERS) and path.lower().endswith(WINE_KINDS):
                names.add(os.path.basename(path).lower())
    rows = [(name, "private" if wine_is_private(name) else "windows") for name in sorted(names)]
    return versions, rows


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


def mingw_libraries():
    mingw = set()
    for path in sorted(glob.glob(os.path.join(MINGW_LIB, "lib*.a"))):
        mingw |= dlls_of_import_library(path)
    if not mingw:
        sys.exit("system-libraries: no import libraries in %s (install %s)" % (MINGW_LIB, MINGW_PACKAGE))
    # Drivers and the kernel export to drivers, never to a program.
    return {name for name in mingw if not name.endswith((".sys", ".exe", ".def"))}


def parse_when(text):
    release, build = text.split()
    return (RELEASES.index(release), int(build))


def generate():
    metadata = read_tsv(EXTRACT)
    exports = read_tsv(EXPORTS)  # kind, library, function or *, first system
    wine = read_tsv(WINE)  # library, windows | private
    runtimes = read_tsv(RUNTIMES)  # prefix, origin (update | redistributed), what it is
    version = subprocess.run(["dpkg-query", "-W", "-f", "${Version}", MINGW_PACKAGE],
                             capture_output=True, text=True).stdout.strip() or "unknown"
    mingw = mingw_libraries()

    def runtime_of(name):
        for prefix, origin, _ in runtimes:
            if name.startswith(prefix):
                return origin
        return None

    libraries = {}  # name -> (origin, release, build)
    documented = {}  # (library, function) -> (release, build), the metadata's dates after 7
    for library, function, when in metadata:
        if function != "*":
            documented[(library, function)] = parse_when(when)
        elif when == SERVER_ONLY:
            libraries[library] = ("ServerOnly", 0, 0)
        elif when == UNDATED:
            libraries[library] = ("Windows", 0, 0)
        else:
            libraries[library] = ("Windows",) + parse_when(when)
    # The export tables are those of the systems themselves: where they list a library, its first
    # system is theirs, not the one the documentation of its oldest function names.
    listed, exported, thunks = {}, {}, {}
    for kind, library, function, when in exports:
        if kind == "thunk":
            thunks[(library, function)] = parse_when(when)
        elif function == "*":
            listed[library] = parse_when(when)
        else:
            exported[(library, function)] = parse_when(when)
    for library, when in listed.items():
        libraries[library] = ("Windows",) + when
    # A library the SDK links against or Wine re-implements, whose first system no source dates,
    # is taken to be on every supported system, unless it belongs to a run-time family that
    # Windows does not ship.
    wine_windows = {name for name, kind in wine if kind == "windows"}
    wine_private = {name for name, kind in wine if kind == "private"}
    for name in sorted(mingw | wine_windows):
        libraries.setdefault(name, ("Windows", 0, 0))
    for name in wine_private:
        libraries[name] = ("WineOnly", 0, 0)
    for name in list(libraries):
        origin = runtime_of(name)
        if origin == "update":
            libraries[name] = ("Update", RELEASES.index("10"), 0)
        elif origin == "redistributed":
            libraries[name] = ("NotWindows", 0, 0)

    # Functions: where the export tables list the library, they say which of 7, 8, 8.1 and 10
    # (build 10240) first exports a function; the documentation dates what came after 10240 and
    # the libraries the tables do not list; a thunk dates what neither knows.
    last_listed = (RELEASES.index("10"), 10240)
    functions = {}
    agree = disagree = 0
    disagreements = []
    for key, when in documented.items():
        library = key[0]
        if library in listed and libraries[library][0] == "Windows":
            if key in exported:
                yy = exported[key]
                if yy[0] == when[0]:
                    agree += 1
                else:
                    disagree += 1
                    disagreements.append((key, when, yy))
                continue
            if when > last_listed:
                agree += 1  # after the last table: the tables cannot say otherwise
                functions[key] = when
            else:
                disagree += 1  # documented for a system whose table lacks it: keep the documentation
                disagreements.append((key, when, None))
                functions[key] = when
            continue
        functions[key] = when
    for key, when in exported.items():
        if when > libraries[key[0]][1:]:
            functions[key] = when
        else:
            functions.pop(key, None)  # as old as its library: the documentation dated it later
    thunk_agree = thunk_disagree = 0
    for key, when in thunks.items():
        known = exported.get(key, documented.get(key))
        if known is not None:
            if known[0] == when[0]:
                thunk_agree += 1
                continue
            thunk_disagree += 1
            # The earlier wins: Windows 7's table is that of its first release, without what its
            # Service Pack 1 added (InitializeContext, the XState functions), and a thunk may
            # stand in for a function that exists but misbehaves.
            if when < known:
                if when > (0, 0):
                    functions[key] = when
                else:
                    functions.pop(key, None)
            continue
        if when > (0, 0):
            functions.setdefault(key, when)
    functions = {key: when for key, when in functions.items()
                 if key[0] in libraries and when > libraries[key[0]][1:]
                 and libraries[key[0]][0] == "Windows"}

    later_than_documented = sum(1 for _, when, yy in disagreements if yy is not None and yy > when)
    out = []
    out.append("// Generated by scripts/system-libraries.py generate: do not edit.")
    out.append("// Sources:")
    for line in source_lines(EXTRACT):
        out.append("//   " + line)
    out.append("//   extracted into scripts/system-libraries/metadata.tsv by the extract step.")
    for line in source_lines(EXPORTS):
        out.append("//   " + line)
    out.append("//   extracted into scripts/system-libraries/exports.tsv by the extract-exports step.")
    for line in source_lines(WINE):
        out.append("//   " + line)
    out.append("//   (%d names of Windows libraries, %d of Wine's own), extracted into" % (
        len(wine_windows), len(wine_private)))
    out.append("//   scripts/system-libraries/wine.tsv by the extract-wine step.")
    out.append("//   The import libraries of Debian's %s %s (the names of %d libraries)." % (
        MINGW_PACKAGE, version, len(mingw)))
    out.append("//   The run-time families of scripts/system-libraries/runtimes.tsv, with their sources.")
    out.append("// Cross-check of the functions the documentation dates later than Windows 7, in libraries")
    out.append("// the export tables list: %d agree on the first system, %d disagree (%d exported later" % (
        agree, disagree, later_than_documented))
    out.append("// than documented, %d earlier, %d documented but in no table up to 10 build 10240)." % (
        sum(1 for _, when, yy in disagreements if yy is not None and yy < when),
        sum(1 for _, _, yy in disagreements if yy is None)))
    out.append("// The export tables win where they have the function: they are the systems' own, while the")
    out.append("// documentation often gives the system of a function's current form or of its store-app")
    out.append("// use (most of Winsock reads 8.1). The documentation wins where the tables lack it (later")
    out.append("// builds, API sets). Of the thunks, %d agree with the tables or the documentation and %d" % (
        thunk_agree, thunk_disagree))
    out.append("// do not; there the earlier wins, since Windows 7's table is that of its first release,")
    out.append("// without Service Pack 1's additions (InitializeContext, the XState functions), and a thunk")
    out.append("// may stand in for a function that misbehaves. Thunks alone date what no other source knows.")
    out.append('#include "kit/windows/SystemLibraryTable.h"')
    out.append("")
    out.append("const SystemLibraryRow kSystemLibraryRows[] = {")
    for name in sorted(libraries):
        origin, release, build = libraries[name]
        out.append("    {%s, LibraryOrigin::%s, %d, %d}," % (c_string(name), origin, release, build))
    out.append("};")
    out.append("const std::size_t kSystemLibraryRowCount = std::size(kSystemLibraryRows);")
    out.append("")
    out.append("const SystemFunctionRow kSystemFunctionRows[] = {")
    for (library, function), (release, build) in sorted(functions.items()):
        out.append("    {%s, %s, %d, %d}," % (c_string(library), c_string(function), release, build))
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
    if len(argv) >= 3 and argv[0] == "extract-exports":
        sys.stdout.write("# Source: the export tables of the 32-bit system libraries of Windows 7 (6.1.7600), "
                         "8 (6.2.9200), 8.1 (6.3.9600) and 10 (10.0.10240)\n")
        sys.stdout.write("# Source: and the guards of the thunks, in %s\n" % argv[2])
        sys.stdout.write("# kind (export | thunk)\tlibrary\tfunction (* for the library itself)\t"
                         "first system and build\n")
        for row in extract_exports(argv[1]):
            sys.stdout.write("\t".join(row) + "\n")
        return 0
    if argv and argv[0] == "extract-wine":
        versions, rows = extract_wine()
        sys.stdout.write("# Source: the file lists of Debian's %s\n" % " and ".join(versions))
        sys.stdout.write("# library\twindows (Windows ships it) | private (Wine's own)\n")
        for row in rows:
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
