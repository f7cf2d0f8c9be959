#!/usr/bin/env python3
"""Writes the package's generated WiX fragment: the component groups Shipped (one component per
file of files.txt, with the service and the COM registration) and Settings (settings.txt).

usage: make_wxs.py ROOT BINDIR OUT.wxs   prints the names of the packaged files, one a line
       make_wxs.py --finish PACKAGE.msi  sets what wixl cannot express: components named Keep_*
                                         and Setting_* are permanent, Setting_NAME is installed
                                         only when the property NAME is set"""
import os
import re
import subprocess
import sys
import uuid
from xml.sax.saxutils import quoteattr

PERMANENT = 16  # msidbComponentAttributesPermanent


def finish(msi):
    table = subprocess.run(["msiinfo", "export", msi, "Component"], check=True, capture_output=True,
                           text=True).stdout.splitlines()[3:]
    queries = []
    for row in table:
        name, _, _, attributes = row.split("\t")[:4]
        if not name.startswith(("Keep_", "Setting_")):
            continue
        update = f"Attributes = {int(attributes) | PERMANENT}"
        if name.startswith("Setting_"):
            update += f", Condition = '{name[len('Setting_'):]}'"
        queries += ["-q", f"UPDATE Component SET {update} WHERE Component = '{name}'"]
    if not queries:
        sys.exit("make_wxs: no component to finish")
    subprocess.run(["msibuild", msi, *queries], check=True)


if sys.argv[1] == "--finish":
    finish(sys.argv[2])
    sys.exit(0)
ROOT, BINDIR, OUT = sys.argv[1:4]
# Component GUIDs derive from the file or setting name, so every version of the package gives a
# component the same GUID (the installer's rule for an unchanged component).
NAMESPACE = uuid.UUID("6D6E1475-8E67-490F-AC20-F5C344DDB0CC")


def fail(text):
    sys.exit(f"make_wxs: {text}")


def data_lines(path):
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.strip()
            if line and not line.startswith("#"):
                yield line.split()


def guid(name):
    return str(uuid.uuid5(NAMESPACE, name)).upper()


def ident(name):
    return re.sub(r"[^A-Za-z0-9_]", "_", name)


def read(path):
    with open(f"{ROOT}/{path}", encoding="utf-8") as f:
        return f.read()


def com_values(file_id):
    """The rows of registration.def, placeholders filled, the DLL's path as the file's formatted
    reference."""
    header = read("platform/zrtsrv.h")
    m = re.search(r"CLSID_Duzovev\s*=\s*\{(0x[0-9A-Fa-f]+),\s*(0x[0-9A-Fa-f]+),\s*(0x[0-9A-Fa-f]+),"
                  r"\s*\{([^}]*)\}\}", header)
    p = re.search(r'#define\s+QMX_DUZOVEV_PROGID\s+"([^"]+)"', header)
    if not m or not p:
        fail("platform/zrtsrv.h: class id or ProgID not found")
    tail = [int(b, 16) for b in m.group(4).split(",")]
    if len(tail) != 8:
        fail("platform/zrtsrv.h: malformed class id")
    clsid = "{%08X-%04X-%04X-%02X%02X-%s}" % (int(m.group(1), 16), int(m.group(2), 16),
                                             int(m.group(3), 16), tail[0], tail[1],
                                             "".join("%02X" % b for b in tail[2:]))
    fills = {"{CLSID}": clsid, "{PROGID}": p.group(1), "{PATH}": f"[#{file_id}]"}
    rows = re.findall(r'^QMX_COM_VALUE\("((?:[^"\\]|\\.)*)", "((?:[^"\\]|\\.)*)", "((?:[^"\\]|\\.)*)"\)',
                      read("components/dedazud/registration.def"), re.M)
    if not rows:
        fail("components/dedazud/registration.def: no rows")
    for row in rows:
        key, name, data = (re.sub(r"\\(.)", r"\1", t) for t in row)
        for mark, value in fills.items():
            key, name, data = (t.replace(mark, value) for t in (key, name, data))
        yield key, name, data


def component(file, folder, roles):
    fid = ident(file)
    out = [f'    <DirectoryRef Id="{folder}">',
           f'    <Component Id="C_{fid}" Guid="{guid(file)}" Win64="yes">',
           f'      <File Id="{fid}" Name="{file}" Source="{file}" KeyPath="yes" />']
    if "service" in roles:
        name = "qmx_agent"
        out += [f'      <ServiceInstall Id="S_{fid}" Name="{name}" DisplayName="$(var.ProductName)"'
                f' Description="Monitors this Exchange server." Type="ownProcess" Start="auto"'
                f' Account="LocalSystem" ErrorControl="normal" Vital="yes" />',
                f'      <ServiceControl Id="SC_{fid}" Name="{name}" Start="install" Stop="both"'
                f' Remove="uninstall" Wait="yes" />']
    if "com" in roles:
        for n, (key, name, data) in enumerate(com_values(fid)):
            named = f" Name={quoteattr(name)}" if name else ""
            out.append(f'      <RegistryValue Id="R_{fid}_{n}" Root="HKCR" Key={quoteattr(key)}{named}'
                       f' Type="string" Value={quoteattr(data)} />')
    out += ["    </Component>", "    </DirectoryRef>"]
    refs.append(f"C_{fid}")
    return out


shipped, settings, refs = [], [], []
for fields in data_lines(f"{ROOT}/installer/files.txt"):
    file, folder, roles = fields[0], fields[1], set(fields[2:])
    if not os.path.isfile(f"{BINDIR}/{file}"):
        if "optional" in roles:
            continue
        fail(f"{BINDIR}/{file} is missing")
    shipped += component(file, folder, roles)
    print(file)
props = [prop for (prop,) in data_lines(f"{ROOT}/installer/settings.txt")]
for prop in props:
    if not re.fullmatch(r"[A-Z][A-Z0-9_]*", prop):
        fail(f"settings.txt: {prop} is no public property name (upper case letters, digits, _)")
    settings += ['    <DirectoryRef Id="QMXDIR">',
                 f'    <Component Id="Setting_{prop}" Guid="{guid(prop)}" Win64="yes">',
                 f'      <RegistryValue Root="HKLM" Key="SOFTWARE\\Orvel\\QMX\\Ver610\\Environment"'
                 f' Name="{prop}" Type="string" Value="[{prop}]" KeyPath="yes" />',
                 "    </Component>", "    </DirectoryRef>"]

with open(OUT, "w", encoding="utf-8") as f:
    f.write("\n".join(['<?xml version="1.0" encoding="utf-8"?>',
                       "<!-- Generated by installer/make_wxs.py; do not edit. -->",
                       '<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">', "  <Fragment>",
                       *shipped, *settings,
                       '    <ComponentGroup Id="Shipped">',
                       *(f'      <ComponentRef Id="{r}" />' for r in refs), "    </ComponentGroup>",
                       '    <ComponentGroup Id="Settings">',
                       *(f'      <ComponentRef Id="Setting_{p}" />' for p in props), "    </ComponentGroup>",
                       "  </Fragment>", "</Wix>", ""]))
