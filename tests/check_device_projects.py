#!/usr/bin/env python3
"""The device's project files build what CMake builds, and nothing missing.

    tests/check_device_projects.py SOURCE_DIR SERVICE_SOURCE...

Fails when a service source CMake builds (given as arguments) or a device
file (app/platform/ce/*.cpp) is missing from the Visual Studio project or
the Platform Builder sources file, when either names a file that does not
exist, when the project is not well-formed XML, or when device/kesta-gps.ico
is not what tools/make-icon.py draws.
"""
import os
import re
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET


def main():
    top, service = sys.argv[1], sys.argv[2:]
    if len(service) < 10:
        print("check_device_projects: too few service sources given")
        return 1
    device = os.path.join(top, "device")
    ce = sorted("app/platform/ce/" + f for f in os.listdir(os.path.join(top, "app/platform/ce")) if f.endswith(".cpp"))
    wanted = set(service) | set(ce) | {"app/kesta_gps.rc"}

    def from_device(path):  # "..\app\x.cpp" -> "app/x.cpp"
        return os.path.normpath(os.path.join("device", path.replace("\\", "/"))).replace(os.sep, "/")

    tree = ET.parse(os.path.join(device, "kesta-gps.vcproj"))
    vcproj = [from_device(f.get("RelativePath")) for f in tree.iter("File")]
    with open(os.path.join(device, "sources"), encoding="ascii") as f:
        text = f.read()
    m = re.search(r"^SOURCES=((?:.*\\\r?\n)*.*)$", text, re.M)
    # The value runs on over lines that end with a backslash.
    pb = [from_device(p) for p in m.group(1).split() if p != "\\"] if m else []

    status = 0
    for name, listed in (("device/kesta-gps.vcproj", vcproj), ("device/sources", pb)):
        for f in sorted(wanted - set(listed)):
            print(f"{name}: does not build {f}")
            status = 1
        for f in listed:
            if not os.path.isfile(os.path.join(top, f)):
                print(f"{name}: names {f}, which does not exist")
                status = 1
        extra = [f for f in listed if f.endswith(".cpp") and f not in wanted]
        for f in extra:
            print(f"{name}: builds {f}, which is neither a service source nor a device file")
            status = 1

    with tempfile.TemporaryDirectory() as tmp:
        drawn = os.path.join(tmp, "icon.ico")
        subprocess.run([sys.executable, os.path.join(top, "tools/make-icon.py"), drawn], check=True)
        with open(drawn, "rb") as a, open(os.path.join(device, "kesta-gps.ico"), "rb") as b:
            if a.read() != b.read():
                print("device/kesta-gps.ico: not what tools/make-icon.py draws; run it again")
                status = 1
    if status == 0:
        print(f"device projects: {len(wanted)} files in both, every named file exists")
    return status


if __name__ == "__main__":
    sys.exit(main())
