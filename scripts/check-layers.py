#!/usr/bin/env python3
"""The kit's layers hold: no file of kit/ includes a header of a library that its own library does
not link, directly or through the libraries it links.

usage: check-layers.py [ROOT]   (ROOT: the source tree, by default the one this script is in)

Reads kit/CMakeLists.txt: each kit_layer(NAME SOURCES ... DEPENDS ...) is a library, in the order
of the stack (lowest first), and add_executable(disckit ...) is the tool on top, which may use
them all. Fails (exit 1, a line per fault) when:
  - a library links a kit library declared after it (the stack would turn back on itself);
  - a file of a library includes "kit/..." that belongs to a library it does not link;
  - a .cpp or .h under kit/ belongs to no library, or to two (it would be built by none, or its
    layer would be unclear), or a listed file does not exist;
  - an include "kit/..." names no file;
  - a library links a kit library none of whose headers its files include: a link nothing needs
    lets a later include of that library pass unseen, as a higher layer's would.
"""

import os
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s+"(kit/[^"]+)"', re.MULTILINE)
CALL = re.compile(r'\b(kit_layer|add_executable|target_sources)\s*\(([^)]*)\)', re.DOTALL)
# What target_sources(kit_core INTERFACE ...) adds is compiled into everything that links the whole
# kit, the tool among them: it belongs to the tool.
WHOLE_KIT = "kit_core"
TOOL = "disckit"


def read_layers(cmake_text):
    """[(name, [kit-relative files], [kit dependencies])] in declaration order."""
    layers, tool = [], []
    text = re.sub(r'#[^\n]*', '', cmake_text)
    for call, body in CALL.findall(text):
        words = body.split()
        if not words:
            continue
        name = words[0]
        if call == "target_sources":
            if name == WHOLE_KIT:
                tool += [w.replace("${CMAKE_CURRENT_SOURCE_DIR}/", "") for w in words[1:]
                         if not w.isupper()]
            continue
        if call == "add_executable":
            if name == TOOL:
                layers.append((name, tool, None))
                tool += [w for w in words[1:] if not w.isupper()]
            continue
        sources, depends, into = [], [], None
        for w in words[1:]:
            if w in ("SOURCES", "DEPENDS"):
                into = sources if w == "SOURCES" else depends
            elif into is not None:
                into.append(w)
        layers.append((name, sources, [d for d in depends if d.startswith("kit_")]))
    return layers


def check(root):
    faults = []
    kit = os.path.join(root, "kit")
    with open(os.path.join(kit, "CMakeLists.txt"), encoding="utf-8") as f:
        layers = read_layers(f.read())
    if not any(name == TOOL for name, _, _ in layers):
        faults.append("kit/CMakeLists.txt: no add_executable(%s ...)" % TOOL)

    owner = {}  # "kit/disc/PeImage.h" -> "kit_disc"
    reach = {}  # library -> the libraries it may use, itself included
    declared = []
    for name, sources, depends in layers:
        if depends is None:  # the tool: everything below it
            reach[name] = set(declared) | {name}
        else:
            reach[name] = {name}
            for d in depends:
                if d not in reach:
                    faults.append("kit/CMakeLists.txt: %s links %s, which is not a library below it"
                                  % (name, d))
                    continue
                reach[name] |= reach[d]
            declared.append(name)
        for s in sources:
            path = "kit/" + s
            if path in owner:
                faults.append("%s is listed by both %s and %s" % (path, owner[path], name))
            owner[path] = name
            if not os.path.isfile(os.path.join(root, path)):
                faults.append("%s is listed by %s but does not exist" % (path, name))

    for folder, _, files in sorted(os.walk(kit)):
        for file in sorted(files):
            if not file.endswith((".cpp", ".h")):
                continue
            path = os.path.relpath(os.path.join(folder, file), root).replace(os.sep, "/")
            if path not in owner:
                faults.append("%s belongs to no library of kit/CMakeLists.txt" % path)

    used = {}  # library -> the libraries whose files its own files include
    for path, name in sorted(owner.items()):
        try:
            with open(os.path.join(root, path), encoding="utf-8") as f:
                text = f.read()
        except OSError:
            continue
        for included in INCLUDE.findall(text):
            other = owner.get(included)
            if other is not None:
                used.setdefault(name, set()).add(other)
            if other is None:
                if not os.path.isfile(os.path.join(root, included)):
                    faults.append("%s includes %s, which does not exist" % (path, included))
            elif other not in reach[name]:
                faults.append("%s (%s) includes %s of %s, a library %s does not link"
                              % (path, name, included, other, name))
    for name, _, depends in layers:
        for d in depends or []:
            if d in reach and d not in used.get(name, set()):
                faults.append("kit/CMakeLists.txt: %s links %s, whose headers none of its files "
                              "include" % (name, d))
    return faults


def main(argv):
    root = argv[1] if len(argv) > 1 else os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    faults = check(root)
    for fault in faults:
        print(fault)
    if faults:
        print("check-layers: %d fault(s)" % len(faults))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
