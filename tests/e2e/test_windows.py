# What only the Windows build has: its resources, paths past the classic
# length limit, read-only destination files and files that another program
# holds open.
import os
import re

HERE = os.path.dirname(os.path.abspath(__file__))


def project_version():
    with open(os.path.join(HERE, "..", "..", "CMakeLists.txt")) as f:
        return re.search(r"project\(fileplacer VERSION ([0-9.]+)", f.read()).group(1)


def resource_string(exe, key):
    """The value of a version resource string (UTF-16) in the executable."""
    pattern = re.escape(key.encode("utf-16-le")) + rb"(?:\0\0)+((?:[^\0]\0)+)\0\0"
    found = re.search(pattern, exe)
    return found.group(1).decode("utf-16-le") if found else None


def test_executable_resources(t):
    if not t.wine:
        t.skip("the Linux build has no Windows resources")
    with open(t.program, "rb") as f:
        exe = f.read()
    version = project_version()
    t.eq(resource_string(exe, "ProductVersion"), version, "product version")
    t.eq(resource_string(exe, "FileVersion"), version, "file version")
    t.eq(resource_string(exe, "ProductName"), "fileplacer", "product name")
    t.check(resource_string(exe, "FileDescription"), "a file description")
    manifest = re.search(rb"<assembly .*?</assembly>", exe, re.S)
    t.check(manifest is not None, "an application manifest")
    text = manifest.group(0).decode()
    for part in ("<longPathAware", ">true</longPathAware>", ">UTF-8</activeCodePage>",
                 'version="%s.0"' % version, "supportedOS"):
        t.check(part in text, "manifest holds %s" % part)
    r = t.run("--version")
    t.eq((r.status, r.out), (0, "fileplacer %s\n" % version), "--version")
