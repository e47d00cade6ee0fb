#!/usr/bin/python3
"""Builds the demo system: an offline Windows folder holding leftovers of
every kind the tool looks for, beside things it must leave alone.

    make_demo_system.py OUTDIR      ->  OUTDIR/Windows
"""

import os
import shutil
import sys

from vkmtest.winsys import Offline

SOFT = r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion"
CLASS = (r"HKLM\SYSTEM\CurrentControlSet\Control\Class"
         r"\{50DD5230-BA8A-11D1-BF5D-0000F805F530}")
SERVICES = r"HKLM\SYSTEM\CurrentControlSet\Services"


def inf(entries, section="SourceDisksFiles"):
    body = ["[Version]", 'Signature="$Windows NT$"', "Class=SmartCardReader",
            "", "[%s]" % section] + ["%s = 1,," % e for e in entries]
    return ("\r\n".join(body + [""])).encode()


def build(base):
    if os.path.exists(base):
        shutil.rmtree(base)
    s = Offline(base)

    # Files: an OEM INF pair, driver files in both driver folders, and a
    # driver-store folder.  oem4.inf belongs to another vendor.
    s.plant(r"inf\oem2.inf", inf(["tarnwickreader.sys", "tarnwickusbccid.sys"]))
    s.plant(r"inf\oem2.pnf", b"PNF")
    s.plant(r"inf\oem4.inf", inf(["acmeprinter.sys"]))
    s.plant(r"System32\drivers\TarnwickReader.sys")
    s.plant(r"System32\drivers\acmeprinter.sys")
    s.plant(r"LastGood\System32\drivers\vkm310.sys")
    s.plant(r"System32\DRVSTORE\tarnwickreader_1a2b3c\tarnwickreader.sys")
    s.plant(r"System32\DRVSTORE\tarnwickreader_1a2b3c\tarnwickreader.inf")

    # Registry: one item of each of the four kinds, and neighbours.
    s.add_key(SOFT + r"\DIFx\DriverStore\tarnwickreader_1a2b3c",
              {"Services": "TarnwickReader", "Version": "1.0.0.0"})
    s.add_key(SOFT + r"\DIFx\DriverStore\acmeprinter_99",
              {"Services": "acmeprinter"})
    s.add_key(SOFT + r"\Uninstall\{4E1D6F2A-VKM310}",
              {"DisplayName": "Tarnwick RDX7 PC/SC driver (vkm310 package)",
               "Publisher": "Tarnwick"})
    s.add_key(SOFT + r"\Uninstall\AcmeSuite", {"DisplayName": "Acme Suite"})
    s.add_key(CLASS, {"Class": "SmartCardReader"})
    s.add_key(CLASS + r"\0000", {"InfSection": "tarnwickreader_install",
                                 "DriverDesc": "RDX7 reader"})
    s.add_key(CLASS + r"\0000\Settings", {"Mode": 1})
    s.add_key(CLASS + r"\0001", {"InfSection": "acme_install"})
    s.add_key(SERVICES + r"\TarnwickReader",
              {"ImagePath": ("expand", r"system32\drivers\tarnwickreader.sys"),
               "Start": 3, "Type": 1})
    s.add_key(SERVICES + r"\TarnwickReader\Enum", {"Count": 1})
    s.add_key(SERVICES + r"\acmeprinter",
              {"ImagePath": r"system32\drivers\acmeprinter.sys"})
    s.commit()
    return s


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: make_demo_system.py OUTDIR")
    build(os.path.abspath(sys.argv[1]))
