#!/usr/bin/env python3
"""Checks that the server's code depends only downwards, layer on layer.

Every source file and header of the server belongs to one layer (LAYERS,
lowest first): a folder gives its files a layer, and EXCEPTIONS names the
files that sit elsewhere. Two checks fail the run:
- an object file of the build whose undefined symbol is defined only in
  objects of higher layers (a call or a reference upwards);
- a file that includes a header of a higher layer.
A file in a folder with no layer fails too, so that a new folder is placed
on purpose.

Usage: scripts/check-layers.py BUILD_DIR [SOURCE_DIR]
(SOURCE_DIR defaults to the checkout this script lives in.)
"""
import glob
import os
import re
import subprocess
import sys

LAYERS = [
    "base",      # options and their locks, error log, strings, numbers, dates, URL and form decoding, TLS
    "http",      # head reading, response writing, the access log, bodies, URI cleaning, Host and Origin
    "handlers",  # static files and listings, PUT and DELETE, Digest and password files, CGI and SSI
    "dispatch",  # a request mapped onto its handler, and served from its head
    "run",       # intake loops, send pump, workers, listeners, option table, start and stop, reload, admin page
    "panel",     # the control panel; it uses base only
    "front",     # main: the command line, and the panel's registration with the server
]

# The layer of every file in a folder (the longest folder that matches wins).
FOLDERS = {
    "server": "run",
    "server/front": "front",
    "http": "http",
    "auth": "handlers",
    "cgi": "handlers",
    "panel": "panel",
}

# Files that sit in another layer than their folder.
EXCEPTIONS = {
    "server/server.h": "base",
    "server/text.h": "base",
    "server/text.cpp": "base",
    "server/connection.h": "base",
    "server/config.h": "base",
    "server/config.cpp": "base",
    "server/context.cpp": "base",
    "server/log.cpp": "base",
    "server/util.cpp": "base",
    "server/tls.cpp": "base",
    "server/callbacks.cpp": "base",
    "server/send.cpp": "http",
    "http/files.cpp": "handlers",
    "http/put.cpp": "handlers",
    "http/dispatch.cpp": "dispatch",
    "http/serve.cpp": "dispatch",
}

# The objects of these targets are checked.
TARGETS = ["quillfen_core", "quillfen"]


def layer_of(path):
    if path in EXCEPTIONS:
        return LAYERS.index(EXCEPTIONS[path])
    folder = os.path.dirname(path)
    while folder:
        if folder in FOLDERS:
            return LAYERS.index(FOLDERS[folder])
        folder = os.path.dirname(folder)
    return None


def nm(args, obj):
    out = subprocess.run(["nm"] + args + [obj], capture_output=True, text=True, check=True)
    return out.stdout.splitlines()


def demangle(symbols):
    out = subprocess.run(["c++filt"], input="\n".join(symbols), capture_output=True, text=True)
    return out.stdout.splitlines() if out.returncode == 0 else symbols


def objects(build_dir, source_dir):
    """(source path, object path) of every object of TARGETS whose source
    still exists (an object of a removed file stays in the build tree)."""
    found = []
    for target in TARGETS:
        base = os.path.join(build_dir, "CMakeFiles", target + ".dir")
        for obj in glob.glob(os.path.join(base, "**", "*.o"), recursive=True):
            source = os.path.relpath(obj, base)[: -len(".o")]
            if os.path.exists(os.path.join(source_dir, source)):
                found.append((source, obj))
    return found


def check_symbols(build_dir, source_dir, problems):
    objs = objects(build_dir, source_dir)
    if not objs:
        problems.append(f"no object files of {', '.join(TARGETS)} under {build_dir}: build first")
        return
    defined = {}    # symbol -> lowest layer that defines it (strongly)
    undefined = {}  # source -> its undefined symbols
    for source, obj in objs:
        layer = layer_of(source)
        if layer is None:
            problems.append(f"{source}: its folder has no layer in scripts/check-layers.py")
            continue
        for line in nm(["--defined-only", "-g"], obj):
            parts = line.split()
            # Weak definitions (inline functions, templates) live in every
            # object that uses them; they are nobody's to own.
            if len(parts) == 3 and parts[1] not in ("W", "V", "w", "v"):
                defined[parts[2]] = min(layer, defined.get(parts[2], layer))
        undefined[source] = [line.split()[-1] for line in nm(["-u"], obj)]
    for source in sorted(undefined):
        layer = layer_of(source)
        up = sorted(s for s in undefined[source] if defined.get(s, -1) > layer)
        for sym, name in zip(up, demangle(up)):
            problems.append(f"{source} ({LAYERS[layer]}) uses {name}, "
                            f"defined in layer {LAYERS[defined[sym]]}")


INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def check_includes(source_dir, problems):
    for folder in sorted(FOLDERS):
        for path in sorted(glob.glob(os.path.join(source_dir, folder, "*"))):
            if not path.endswith((".cpp", ".h")):
                continue
            rel = os.path.relpath(path, source_dir)
            layer = layer_of(rel)
            with open(path, encoding="utf-8") as f:
                for number, line in enumerate(f, 1):
                    m = INCLUDE.match(line)
                    if m is None:
                        continue
                    target = layer_of(m.group(1))
                    if target is None:
                        problems.append(f"{rel}:{number}: includes {m.group(1)}, which has no layer")
                    elif target > layer:
                        problems.append(f"{rel}:{number} ({LAYERS[layer]}) includes "
                                        f"{m.group(1)} ({LAYERS[target]})")


def main():
    if len(sys.argv) not in (2, 3):
        print(__doc__.strip().splitlines()[-2], file=sys.stderr)
        return 2
    build_dir = sys.argv[1]
    source_dir = sys.argv[2] if len(sys.argv) == 3 else \
        os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    problems = []
    check_symbols(build_dir, source_dir, problems)
    check_includes(source_dir, problems)
    for p in problems:
        print(p)
    if problems:
        print(f"layers: {len(problems)} problems above", file=sys.stderr)
        return 1
    print("layers: every dependency points down")
    return 0


if __name__ == "__main__":
    sys.exit(main())
