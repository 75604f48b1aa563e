"""A build backend for the marlin module, standard library only.

pip builds the wheel with this file from the source folder, so that
`pip install ./python` needs neither the network nor setuptools: the module
is one package of pure Python, and a wheel is a zip file with three
metadata files (PEP 427, PEP 517).
"""
import base64
import hashlib
import os
import re
import zipfile

_HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
_PACKAGE = "marlin"


def _project():
    """name, version, summary, requires-python and readme from pyproject.toml."""
    with open(os.path.join(_HERE, "pyproject.toml"), encoding="utf-8") as f:
        text = f.read()
    project = text.split("[project]", 1)[1].split("\n[", 1)[0]
    fields = dict(re.findall(r'^([\w-]+)\s*=\s*"([^"]*)"', project, re.MULTILINE))
    return fields


def _metadata():
    p = _project()
    lines = ["Metadata-Version: 2.1", f"Name: {p['name']}", f"Version: {p['version']}",
             f"Summary: {p.get('description', '')}"]
    if "requires-python" in p:
        lines.append(f"Requires-Python: {p['requires-python']}")
    readme = os.path.join(_HERE, p.get("readme", "README.md"))
    body = ""
    if os.path.exists(readme):
        lines.append("Description-Content-Type: text/markdown")
        with open(readme, encoding="utf-8") as f:
            body = "\n" + f.read()
    return "\n".join(lines) + "\n" + body


def _dist_info():
    p = _project()
    return f"{p['name']}-{p['version']}.dist-info", f"{p['name']}-{p['version']}-py3-none-any.whl"


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_editable(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    dist_info, _ = _dist_info()
    os.makedirs(os.path.join(metadata_directory, dist_info), exist_ok=True)
    with open(os.path.join(metadata_directory, dist_info, "METADATA"), "w", encoding="utf-8") as f:
        f.write(_metadata())
    return dist_info


def _write_wheel(wheel_directory, files):
    """files: (name in the wheel, bytes). Adds WHEEL, METADATA and RECORD."""
    dist_info, wheel_name = _dist_info()
    files = list(files)
    files.append((f"{dist_info}/METADATA", _metadata().encode()))
    files.append((f"{dist_info}/WHEEL", b"Wheel-Version: 1.0\nGenerator: marlin_build\n"
                  b"Root-Is-Purelib: true\nTag: py3-none-any\n"))
    record = []
    path = os.path.join(wheel_directory, wheel_name)
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as wheel:
        for name, data in files:
            wheel.writestr(name, data)
            digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
            record.append(f"{name},sha256={digest},{len(data)}")
        record.append(f"{dist_info}/RECORD,,")
        wheel.writestr(f"{dist_info}/RECORD", "\n".join(record) + "\n")
    return wheel_name


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    files = []
    package = os.path.join(_HERE, _PACKAGE)
    for name in sorted(os.listdir(package)):
        if name.endswith(".py"):
            with open(os.path.join(package, name), "rb") as f:
                files.append((f"{_PACKAGE}/{name}", f.read()))
    return _write_wheel(wheel_directory, files)


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    # A .pth file puts the source folder on the path.
    return _write_wheel(wheel_directory, [(f"_{_PACKAGE}_editable.pth", (_HERE + "\n").encode())])
