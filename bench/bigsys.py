"""A large offline Windows installation for the benchmark, with 24 planted
leftovers of the VKM310 package.

    build(base) -> dict      base/Windows: hives, INF, drivers, DRVSTORE

The filler is shaped like a real installation where that decides what
the tool has to walk through: SOFTWARE\\Microsoft has a few hundred
subkeys and "Windows" sorts near their end; Services has 1,500 subkeys
(an index of several lists, as Windows keeps so many); the INF folder
holds 1,000 OEM INF files of 2 to 20 KB with their PNF files, most with
a [SourceDisksFiles] section somewhere in them, some without one.  Bulk
(Installer components, classes, device instances) brings SOFTWARE past
50 MB.  SOFTWARE also holds the 32-bit view of a 64-bit system
(Wow6432Node) with its own uninstall and driver-store entries.
Everything comes from one seeded generator: the same system on every run.

Four of the leftovers lie where a walk of subkeys 0 to 999 of one view
does not reach: a service that sorts past the 1,000th, oem1207.inf, and
an uninstall entry and a driver-store entry of the 32-bit view.
"""

import os
import random
import sys

import regf

TARGETS = ("vkm310", "rdx7pcsc_root", "rdx7pcsc_slot", "tarnwickusbccid",
           "busquellmark", "quellmarkpcsc", "tarnwickreader")
SMARTCARD_CLASS = "{50DD5230-BA8A-11D1-BF5D-0000F805F530}"
CV = r"Microsoft\Windows\CurrentVersion"

OEM_FILES = 1000
SERVICES = 1500
UNINSTALL = 600
DRIVER_STORE = 300
WOW_UNINSTALL = 250
WOW_DRIVER_STORE = 60
WOW = "Wow6432Node"

# The 20 leftovers: (kind, what).
PLANTED_OEM = {17: ["vkm310.sys", "vkm310co.dll", "rdx7pcsc_slot.sys"],
               458: ["rdx7pcsc_root.sys"],
               986: ["wdfcoinstaller01009.dll", "tarnwickusbccid.sys"]}
PLANTED_FILES = [r"System32\drivers\vkm310.sys",
                 r"System32\drivers\rdx7pcsc_root.sys",
                 r"LastGood\System32\drivers\vkm310.sys",
                 r"LastGood\System32\drivers\quellmarkpcsc.sys"]
PLANTED_DRVSTORE = {"vkm310_5e2b9a41c07d3f18": "vkm310",
                    "rdx7pcsc_3f9c0e7a12b4d655": "rdx7pcsc_root,rdx7pcsc_slot",
                    "tarnwickusbccid_a41e8d0c9b2f7736": "tarnwickusbccid"}
PLANTED_UNINSTALL = {
    "{8C3D5E11-4A7B-4F20-9E61-2B7D0C4A9F13}":
        "Tarnwick RDX7 PC/SC Driver (VKM310 package)",
    "VKM310_Reader": "vkm310 smart-card reader utilities",
    "{0F6B2C9A-77D1-4E38-A5C2-913E6D48B2F0}": "Tarnwick Vkm310 Service Pack 2",
}
PLANTED_CLASS = {"0003": "vkm310_Install.NT", "0004": "RDX7PCSC_SLOT.NTx86",
                 "0005": "tarnwickreader_inst"}
# Services has 1,500 subkeys: these names sort among the first thousand,
# PLANTED_LATE_SERVICES past them.
PLANTED_SERVICES = {
    "DrvVkm310": r"system32\DRIVERS\vkm310.sys",
    "CcidTarnwick": r"\SystemRoot\System32\drivers\tarnwickusbccid.sys",
    "BusQuellmark": r"System32\Drivers\BUSQUELLMARK.SYS",
    "AtrSvcTarnwick":
        r'"C:\Program Files\Tarnwick\tarnwickreader.exe" -service',
}
# Where only a scan of every subkey, every oem<N>.inf and both views of
# SOFTWARE finds them.
PLANTED_LATE_SERVICES = {"vkm310": r"system32\DRIVERS\vkm310.sys"}
PLANTED_LATE_OEM = {1207: ["busquellmark.sys", "busquellmark.cat"]}
PLANTED_WOW_UNINSTALL = {
    "{5A0E7C3B-19D4-4B6F-8E2A-C7F1D03B9E64}": "VKM310 Reader Tools (x86)",
}
PLANTED_WOW_DRVSTORE = {"quellmarkpcsc_7d0e2c4b91a6f358": "quellmarkpcsc"}
PLANTED_BEYOND_WALK = (len(PLANTED_LATE_SERVICES) + len(PLANTED_LATE_OEM) +
                       len(PLANTED_WOW_UNINSTALL) + len(PLANTED_WOW_DRVSTORE))
PLANTED_COUNT = (len(PLANTED_OEM) + len(PLANTED_FILES) + len(PLANTED_DRVSTORE) +
                 len(PLANTED_UNINSTALL) + len(PLANTED_CLASS) +
                 len(PLANTED_SERVICES) + PLANTED_BEYOND_WALK)

SYLLABLES = ("ac", "al", "am", "ar", "at", "ce", "co", "da", "de", "di", "el",
             "en", "er", "fa", "ga", "hi", "id", "in", "ix", "ka", "la", "le",
             "li", "lo", "ma", "me", "mi", "na", "ne", "no", "or", "pa", "pe",
             "ra", "re", "ri", "sa", "se", "si", "so", "ta", "te", "ti", "to",
             "un", "va", "ve", "xi", "za", "usb", "hid", "net", "ser", "par",
             "dsk", "vol", "kbd", "mou", "nd", "wd", "rt", "io", "pci", "sd")
VENDORS = ("Acme", "Contoso", "Fabrikam", "Northwind", "Litware", "Adatum",
           "Proseware", "Wingtip", "Tailspin", "Woodgrove", "Lucerne",
           "Humongous", "Coho", "Margie", "Trey", "Alpine", "Blue Yonder",
           "Graphic Design", "Southridge", "Wide World", "Consolidated",
           "Fourth Coffee", "Relecloud", "VanArsdel", "Datum")
DEVICE_CLASSES = ("Net", "USB", "HIDClass", "System", "DiskDrive", "Display",
                  "Media", "Ports", "Printer", "Image", "Monitor", "Mouse",
                  "Keyboard", "SCSIAdapter", "HDC", "Bluetooth", "Battery",
                  "Biometric", "Sensor", "Camera")


def names_target(text):
    low = text.lower()
    return any(t in low for t in TARGETS) or "vkm310" in low


class Gen:
    """Seeded names and texts."""

    def __init__(self, seed):
        self.r = random.Random(seed)
        self.used = set()

    def word(self, lo=2, hi=4):
        while True:
            w = "".join(self.r.choice(SYLLABLES)
                        for _ in range(self.r.randint(lo, hi)))
            if not names_target(w):
                return w

    def unique(self, fn):
        while True:
            w = fn()
            if w.lower() not in self.used:
                self.used.add(w.lower())
                return w

    def guid(self):
        h = "%032X" % self.r.getrandbits(128)
        return "{%s-%s-%s-%s-%s}" % (h[:8], h[8:12], h[12:16], h[16:20],
                                     h[20:])

    def hex32(self):
        return "%032X" % self.r.getrandbits(128)

    def blob(self, lo, hi):
        return self.r.randbytes(self.r.randint(lo, hi))

    def title(self):
        return " ".join(w.capitalize() for w in
                        (self.word(1, 3) for _ in range(self.r.randint(1, 4))))

    def version(self):
        r = self.r
        return "%d.%d.%d.%d" % (r.randint(1, 12), r.randint(0, 9),
                                r.randint(0, 9999), r.randint(0, 999))


# ---- SOFTWARE ----

def build_software(g):
    root = regf.Key("CMI-CreateHive{199DAFC2-6F16-4946-BF90-5A3FC3A60902}")
    classes = root.child("Classes")
    clsids = []
    for _ in range(9000):
        guid = g.unique(g.guid)
        clsids.append(guid)
        k = classes.path("CLSID\\" + guid).sz("", g.title())
        dll = "%s.dll" % g.word()
        k.child("InprocServer32").expand(
            "", "%%SystemRoot%%\\System32\\%s" % dll).sz(
            "ThreadingModel", g.r.choice(("Apartment", "Both", "Free")))
        if g.r.random() < 0.3:
            k.path("Implemented Categories\\" + g.guid())
        if g.r.random() < 0.35:
            k.binary("Persisted", g.blob(200, 3000))
        if g.r.random() < 0.2:
            k.child("ProgID").sz("", "%s.%s.1" % (g.word(), g.word()))
    for _ in range(3000):
        ext = g.unique(lambda: "." + g.word(1, 2))
        prog = "%s.%s" % (g.word(), ext[1:])
        k = classes.child(ext).sz("", prog).sz(
            "Content Type", "application/x-%s" % ext[1:])
        k.child("OpenWithProgids").binary(prog, b"")
        p = classes.child(g.unique(lambda: prog + "." + g.word(1, 1)))
        p.sz("", g.title()).sz("FriendlyTypeName", "@%s.dll,-%d" % (
            g.word(), g.r.randint(100, 9999)))
        p.path("shell\\open\\command").expand(
            "", '"%%ProgramFiles%%\\%s\\%s.exe" "%%1"' % (g.title(), g.word()))
        p.child("CLSID").sz("", g.r.choice(clsids))
        if g.r.random() < 0.25:
            p.child("DefaultIcon").binary("IconData", g.blob(500, 4000))
    for _ in range(6000):
        k = classes.path("Interface\\" + g.unique(g.guid)).sz(
            "", "I" + g.title().replace(" ", ""))
        k.child("ProxyStubClsid32").sz("", g.r.choice(clsids))
        k.child("NumMethods").sz("", str(g.r.randint(3, 40)))
    for _ in range(1500):
        k = classes.path("TypeLib\\%s\\1.0" % g.unique(g.guid)).sz(
            "", g.title() + " Type Library")
        k.path("0\\win32").sz("", "C:\\Windows\\System32\\%s.tlb" % g.word())
        k.child("FLAGS").sz("", "0")
        k.child("HELPDIR").sz("", "C:\\Windows\\System32")
    for _ in range(400):
        k = classes.path("Installer\\Products\\" + g.unique(g.hex32))
        k.sz("ProductName", g.title()).sz("PackageCode", g.hex32()).dword(
            "Language", 1033).dword("Version", g.r.getrandbits(31)).dword(
            "Assignment", 1).binary("Clients", g.blob(4, 12))
        k.path("SourceList\\Media").sz("1", ";1")
        k.child("SourceList").sz("PackageName", g.word() + ".msi")
        if g.r.random() < 0.5:
            k.binary("ProductIcon", g.blob(2000, 9000))

    ms = root.child("Microsoft")
    for _ in range(260):
        k = ms.child(g.unique(g.title))
        for _ in range(g.r.randint(0, 4)):
            k.sz(g.word(1, 2).capitalize(), g.title())
        for _ in range(g.r.randint(0, 5)):
            c = k.child(g.word().capitalize())
            c.dword("Enabled", g.r.randint(0, 1)).sz("Version", g.version())
    nt = ms.path("Windows NT\\CurrentVersion")
    nt.sz("ProductName", "Windows XP").sz("CurrentVersion", "5.1").sz(
        "SystemRoot", "C:\\WINDOWS")
    fonts = nt.child("Fonts")
    for _ in range(300):
        fonts.sz(g.title() + " (TrueType)", g.word() + ".ttf")

    cv = root.path(CV)
    cv.sz("ProgramFilesDir", "C:\\Program Files").sz("SM_GamesName", "Games")
    for _ in range(66):
        k = cv.child(g.unique(lambda: g.title().replace(" ", "")))
        for _ in range(g.r.randint(0, 3)):
            k.sz(g.word(1, 2).capitalize(), g.title())
        for _ in range(g.r.randint(0, 8)):
            k.child(g.word().capitalize()).dword("Flags", g.r.randint(0, 255))
    for _ in range(150):
        exe = g.unique(lambda: g.word() + ".exe")
        cv.path("App Paths\\" + exe).sz(
            "", "C:\\Program Files\\%s\\%s" % (g.title(), exe)).sz(
            "Path", "C:\\Program Files\\%s" % g.title())
    shared = cv.child("SharedDLLs")
    for _ in range(2000):
        shared.dword("C:\\Program Files\\%s\\%s.dll" % (g.title(), g.word()),
                      g.r.randint(1, 9))
    comps = cv.path("Installer\\UserData\\S-1-5-18\\Components")
    products = [g.hex32() for _ in range(400)]
    for _ in range(45000):
        k = comps.child(g.unique(g.hex32))
        for _ in range(g.r.randint(1, 4)):
            k.sz(g.r.choice(products), "C:\\Program Files\\%s\\%s\\%s.%s" % (
                g.title(), g.title(), g.word(),
                g.r.choice(("dll", "exe", "ocx", "sys", "chm", "xml"))))
    for p in products:
        k = cv.path("Installer\\UserData\\S-1-5-18\\Products\\%s\\"
                    "InstallProperties" % p)
        k.sz("DisplayName", g.title()).sz("Publisher", g.r.choice(VENDORS))
        k.sz("LocalPackage", "C:\\WINDOWS\\Installer\\%x.msi" %
             g.r.getrandbits(24)).dword("EstimatedSize",
                                        g.r.randint(100, 900000))

    # The 600 uninstall entries, three of them leftovers.
    uninstall_entries(g, cv.child("Uninstall"), PLANTED_UNINSTALL, UNINSTALL)
    # The 300 driver-store entries, three of them leftovers.
    stores = driver_store_entries(g, cv.path("DIFx\\DriverStore"),
                                  PLANTED_DRVSTORE, DRIVER_STORE)
    # The 32-bit view, one leftover in each of its two scanned keys.
    wcv = root.path(WOW + "\\" + CV)
    uninstall_entries(g, wcv.child("Uninstall"), PLANTED_WOW_UNINSTALL,
                      WOW_UNINSTALL)
    stores.update(driver_store_entries(
        g, wcv.path("DIFx\\DriverStore"), PLANTED_WOW_DRVSTORE,
        WOW_DRIVER_STORE))
    for _ in range(30):
        k = root.path(WOW + "\\Microsoft").child(g.unique(g.title))
        k.sz("Version", g.version()).sz("InstallPath", "C:\\Program Files (x86)")

    root.child("Policies").path("Microsoft\\Windows").dword("Flags", 0)
    root.child("Clients").path("Mail\\Outlook Express").sz("", "Outlook")
    root.child("ODBC").path("ODBC.INI\\ODBC Data Sources")
    root.path("Tarnwick\\Tools").sz("Vendor", "Tarnwick")
    for _ in range(40):
        v = root.child(g.unique(lambda: g.r.choice(VENDORS).replace(" ", "")
                                + g.word(1, 1).capitalize()))
        for _ in range(g.r.randint(1, 10)):
            v.child(g.title()).sz("InstallPath", "C:\\Program Files\\x").sz(
                "Version", g.version())
    return root, stores


def uninstall_entries(g, un, planted, count):
    """COUNT uninstall entries below UN, the PLANTED ones among them."""
    for name, display in planted.items():
        un.child(name).sz("DisplayName", display).sz(
            "Publisher", "Tarnwick").sz("DisplayVersion", "2.1.0.7").sz(
            "UninstallString", "C:\\WINDOWS\\vkm310_uninst.exe")
    while len(un.children) < count:
        msi = g.r.random() < 0.6
        name = g.unique(g.guid if msi else lambda: g.title().replace(" ", ""))
        title = g.title()
        if names_target(title):
            continue
        k = un.child(name).sz("DisplayName", title).sz(
            "DisplayVersion", g.version()).sz(
            "Publisher", g.r.choice(VENDORS) + " Corporation").sz(
            "InstallDate", "2011%02d%02d" % (g.r.randint(1, 12),
                                             g.r.randint(1, 28)))
        k.sz("InstallLocation", "C:\\Program Files\\%s\\" % title)
        if msi:
            k.expand("UninstallString", "MsiExec.exe /X%s" % name).dword(
                "WindowsInstaller", 1).dword("NoModify", 1)
        else:
            k.sz("UninstallString",
                 '"C:\\Program Files\\%s\\uninst.exe"' % title)
        k.dword("EstimatedSize", g.r.randint(100, 2000000))
        k.sz("HelpLink", "http://www.%s.example/support" % g.word())


def driver_store_entries(g, ds, planted, count):
    """COUNT driver-store entries below DS, the PLANTED ones among them;
    returns {entry: driver} for their DRVSTORE folders."""
    stores = {}
    for name, services in planted.items():
        ds.child(name).sz("Services", services).sz(
            "INF", name.split("_")[0] + ".inf").sz("Version", "2.1.0.7")
        stores[name] = services.split(",")[0]
    while len(ds.children) < count:
        drv = g.word()
        name = g.unique(lambda: "%s_%016x" % (drv, g.r.getrandbits(64)))
        ds.child(name).sz("Services", drv).sz("INF", drv + ".inf").sz(
            "Version", g.version()).sz("Provider", g.r.choice(VENDORS))
        stores[name] = drv
    return stores


# ---- SYSTEM ----

def service_values(g, k, image):
    k.dword("Type", g.r.choice((1, 1, 2, 16, 32))).dword(
        "Start", g.r.randint(0, 4)).dword("ErrorControl", g.r.randint(0, 1))
    k.expand("ImagePath", image)
    k.sz("DisplayName", g.title())
    if g.r.random() < 0.6:
        k.sz("Group", g.r.choice(("Boot Bus Extender", "NDIS", "PNP_TDI",
                                  "Extended Base", "SCSI miniport")))
    if g.r.random() < 0.5:
        k.sz("Description", " ".join(g.word() for _ in range(12)))
    if g.r.random() < 0.3:
        k.multi("DependOnService", [g.word() for _ in range(2)])
    k.child("Security").binary("Security", g.blob(100, 200))
    if g.r.random() < 0.5:
        e = k.child("Enum").dword("Count", 1).dword("NextInstance", 1)
        e.sz("0", "ROOT\\LEGACY_%s\\0000" % k.name.upper())
    if g.r.random() < 0.4:
        p = k.child("Parameters")
        for _ in range(g.r.randint(1, 6)):
            p.dword(g.word().capitalize(), g.r.getrandbits(16))


def build_system(g):
    root = regf.Key("CMI-CreateHive{2A7FB991-7BBE-4F9D-B91E-7CB51D4737F5}")
    root.child("Select").dword("Current", 1).dword("Default", 1).dword(
        "Failed", 0).dword("LastKnownGood", 1)
    root.path("MountedDevices").binary("\\DosDevices\\C:", g.blob(12, 12))
    cs = root.child("ControlSet001")
    control = cs.child("Control")
    for _ in range(80):
        k = control.child(g.unique(lambda: g.title().replace(" ", "")))
        for _ in range(g.r.randint(0, 6)):
            k.dword(g.word().capitalize(), g.r.getrandbits(16))

    # Device classes, the smart-card readers' among them.
    cls = control.child("Class")
    for _ in range(60):
        c = cls.child(g.unique(g.guid)).sz("", g.title()).sz(
            "Class", g.r.choice(DEVICE_CLASSES))
        for n in range(g.r.randint(0, 12)):
            inst = c.child("%04d" % n)
            drv = g.word()
            inst.sz("DriverDesc", g.title()).sz("InfPath", "oem%d.inf" %
                                                g.r.randint(0, 999))
            inst.sz("InfSection", drv + "_Install").sz(
                "ProviderName", g.r.choice(VENDORS)).sz(
                "DriverVersion", g.version()).sz(
                "MatchingDeviceId", "pci\\ven_%04x&dev_%04x" % (
                    g.r.getrandbits(16), g.r.getrandbits(16)))
    sc = cls.child(SMARTCARD_CLASS).sz("", "Smart card readers").sz(
        "Class", "SmartCardReader")
    for n, section in enumerate(("UsbCcid_Install.NT", "ScFilter_Inst",
                                 "acmescr.NTx86")):
        sc.child("%04d" % n).sz("InfSection", section).sz(
            "DriverDesc", g.title()).sz("InfPath", "oem%d.inf" % (200 + n))
    for n, section in PLANTED_CLASS.items():
        sc.child(n).sz("InfSection", section).sz(
            "DriverDesc", "RDX7 PC/SC reader").sz("InfPath", "oem17.inf")

    # Device instances: bulk of the kind a real SYSTEM hive carries.
    enum = cs.child("Enum")
    for _ in range(5000):
        bus = g.r.choice(("PCI", "USB", "ACPI", "ROOT", "HID", "STORAGE"))
        dev = enum.path("%s\\VEN_%04X&DEV_%04X\\%x" % (
            bus, g.r.getrandbits(16), g.r.getrandbits(16),
            g.r.getrandbits(40)))
        dev.multi("HardwareID", ["%s\\VEN_%04X" % (bus, g.r.getrandbits(16))
                                 for _ in range(3)])
        dev.multi("CompatibleIDs", ["%s\\CC_%06X" % (bus, g.r.getrandbits(24))
                                    for _ in range(2)])
        dev.sz("Driver", "%s\\%04d" % (g.guid(), g.r.randint(0, 12)))
        dev.sz("Mfg", g.r.choice(VENDORS)).sz("DeviceDesc", g.title()).dword(
            "ConfigFlags", 0).dword("Capabilities", g.r.getrandbits(8))
        dev.child("LogConf").binary("BasicConfigVector", g.blob(60, 400))
        dev.child("Device Parameters").dword("EnhancedPowerManagement", 1)

    # The 1,500 services, four of them leftovers.
    services = cs.child("Services")
    for name, image in list(PLANTED_SERVICES.items()) + list(
            PLANTED_LATE_SERVICES.items()):
        service_values(g, services.child(name), image)
    while len(services.children) < SERVICES:
        name = g.unique(lambda: g.word(1, 4))
        if g.r.random() < 0.7:
            image = "system32\\DRIVERS\\%s.sys" % name
        else:
            image = "%%SystemRoot%%\\System32\\svchost.exe -k %s" % g.word()
        if names_target(image):
            continue
        service_values(g, services.child(name), image)
    order = sorted(services.children.values(), key=lambda k: k.name.upper())
    for i, k in enumerate(order):
        assert k.name not in PLANTED_SERVICES or i < 1000, (k.name, i)
        assert k.name not in PLANTED_LATE_SERVICES or i >= 1000, (k.name, i)
    cs.path("Hardware Profiles\\0001\\Software").dword("Fonts", 0)
    # Where a service named after the package would stand.
    root.vkm310_index = sum(k.name.upper() < "VKM310" for k in order)
    return root


# ---- files ----

def inf_text(g, number, entries, size, place):
    """An OEM INF of about SIZE bytes whose [SourceDisksFiles] holds
    ENTRIES, placed "top", "middle", "end", or "none" (only an
    architecture-specific section)."""
    r = g.r
    vendor = r.choice(VENDORS)
    drv = entries[0].split(".")[0] if entries else g.word()
    head = ["; oem%d.inf" % number,
            "; Copyright (c) %s Corporation. All rights reserved." % vendor,
            "", "[Version]", 'Signature="$Windows NT$"',
            "Class=%s" % r.choice(DEVICE_CLASSES), "ClassGuid=%s" % g.guid(),
            "Provider=%ManufacturerName%", "CatalogFile=%s.cat" % drv,
            "DriverVer=%02d/%02d/20%02d,%s" % (r.randint(1, 12),
                                               r.randint(1, 28),
                                               r.randint(5, 11), g.version()),
            "", "[SourceDisksNames]", '1 = %DiskName%,,,""', ""]
    sdf = ["[SourceDisksFiles%s]" % (".amd64" if place == "none" else "")]
    sdf += ["%s = 1,," % e for e in entries] + [""]
    models = ["[Manufacturer]", "%ManufacturerName% = Standard,NTx86,NTamd64",
              "", "[Standard.NTx86]"]
    body = ["[DestinationDirs]", "DefaultDestDir = 12",
            "CoInstaller_CopyFiles = 11", "",
            "[%s_Install.NT]" % drv, "CopyFiles = %s_CopyFiles" % drv,
            "AddReg = %s_AddReg" % drv, "",
            "[%s_CopyFiles]" % drv] + entries[:2] + [
            "", "[%s_Install.NT.Services]" % drv,
            "AddService = %s, 0x00000002, %s_Service_Inst" % (drv, drv), "",
            "[%s_Service_Inst]" % drv, "ServiceType = 1", "StartType = 3",
            "ErrorControl = 1",
            "ServiceBinary = %%12%%\\%s" % (entries[0] if entries else "x.sys"),
            ""]
    strings = ["[Strings]", 'ManufacturerName="%s"' % vendor,
               'DiskName="%s Installation Disk"' % vendor]
    text_len = sum(len(x) + 2 for x in head + sdf + body + strings)
    while text_len < size:
        if r.random() < 0.6:
            line = "%%Dev%04X.DeviceDesc%% = %s_Install, USB\\VID_%04X&PID_%04X&MI_%02X" % (
                r.getrandbits(16), drv, r.getrandbits(16), r.getrandbits(16),
                r.randint(0, 3))
            models.append(line)
        else:
            line = 'Dev%04X.DeviceDesc="%s"' % (r.getrandbits(16), g.title())
            strings.append(line)
        text_len += len(line) + 2
    models.append("")
    if place == "top" or place == "none":
        parts = head + sdf + models + body + strings
    elif place == "middle":
        parts = head + models + sdf + body + strings
    else:
        parts = head + models + body + sdf + strings
    return ("\r\n".join(parts) + "\r\n").encode("ascii")


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def build_files(g, windir, stores):
    r = g.r
    for name in ("explorer.exe", "notepad.exe", "regedit.exe", "win.ini",
                 "system.ini", "WindowsUpdate.log", "setupapi.log"):
        write(os.path.join(windir, name), g.blob(200, 4000))
    for name in ("Fonts", "Help", "Media", "Prefetch", "Temp", "Cursors",
                 "repair", "security", "Tasks", "twain_32", "Web", "addins",
                 "AppPatch", "Config", "Cursors", "Debug", "Downloaded Program Files",
                 "ehome", "Installer", "Microsoft.NET", "msagent", "Offline Web Pages",
                 "PCHealth", "Registration", "Resources", "SoftwareDistribution",
                 "srchasst", "system", "WinSxS", "$NtUninstallKB%06d$" % 951748):
        os.makedirs(os.path.join(windir, name), exist_ok=True)
    for _ in range(40):
        write(os.path.join(windir, "$NtUninstallKB%06d$" % r.randint(800000, 999999),
                           "spuninst.exe"), b"MZ")

    inf = os.path.join(windir, "INF")
    for _ in range(200):
        name = g.unique(g.word)
        write(os.path.join(inf, name + ".inf"), g.blob(1000, 6000))
        write(os.path.join(inf, name + ".PNF"), g.blob(1000, 6000))
    places = ("top",) * 40 + ("middle",) * 30 + ("end",) * 15 + ("none",) * 15
    planted = {**PLANTED_OEM, **PLANTED_LATE_OEM}
    for n in list(range(OEM_FILES)) + sorted(PLANTED_LATE_OEM):
        if n in planted:
            entries, place = planted[n], "top"
        else:
            entries = ["%s.%s" % (g.word(), r.choice(("sys", "sys", "dll",
                                                       "cat", "exe")))
                       for _ in range(r.randint(1, 8))]
            place = r.choice(places)
        text = inf_text(g, n, entries, r.randint(2000, 20000), place)
        write(os.path.join(inf, "oem%d.inf" % n), text)
        write(os.path.join(inf, "oem%d.pnf" % n),
              g.blob(len(text), 2 * len(text)))

    sys32 = os.path.join(windir, "System32")
    for _ in range(300):
        ext = r.choice((".dll", ".exe", ".cpl", ".nls"))
        write(os.path.join(sys32, g.unique(g.word) + ext), g.blob(500, 3000))
    for _ in range(400):
        write(os.path.join(sys32, "drivers", g.unique(g.word) + ".sys"),
              g.blob(500, 3000))
    for _ in range(60):
        write(os.path.join(windir, "LastGood", "System32", "drivers",
                           g.unique(g.word) + ".sys"), g.blob(500, 3000))
    for name, drv in stores.items():
        folder = os.path.join(sys32, "DRVSTORE", name)
        for ext in (".inf", ".cat", ".sys"):
            write(os.path.join(folder, drv + ext), g.blob(500, 4000))
    for rel in PLANTED_FILES:
        write(os.path.join(windir, *rel.split("\\")), b"MZ" + g.blob(500, 3000))


def registry_leftovers(views=2):
    """The planted registry leftovers as a live Windows holds them:
    [(key below HKEY_LOCAL_MACHINE, [(value, "sz" or "expand", text)])].
    VIEWS=1 leaves out the 32-bit view's (a 32-bit system has none)."""
    sw, cls = "SOFTWARE\\" + CV, ("SYSTEM\\CurrentControlSet\\Control\\"
                                 "Class\\" + SMARTCARD_CLASS)
    keys = []
    for view, stores, entries in (
            ("", PLANTED_DRVSTORE, PLANTED_UNINSTALL),
            (WOW, PLANTED_WOW_DRVSTORE, PLANTED_WOW_UNINSTALL)):
        if view and views < 2:
            continue
        base = sw.replace("SOFTWARE", "SOFTWARE\\" + view) if view else sw
        for name, services in stores.items():
            keys.append((base + "\\DIFx\\DriverStore\\" + name,
                         [("Services", "sz", services)]))
        for name, display in entries.items():
            keys.append((base + "\\Uninstall\\" + name,
                         [("DisplayName", "sz", display)]))
    for name, section in PLANTED_CLASS.items():
        keys.append((cls + "\\" + name, [("InfSection", "sz", section)]))
    for name, image in list(PLANTED_SERVICES.items()) + list(
            PLANTED_LATE_SERVICES.items()):
        keys.append(("SYSTEM\\CurrentControlSet\\Services\\" + name,
                     [("ImagePath", "expand", image)]))
    return keys


def file_leftovers():
    """The planted files, as paths below the Windows folder ('\\')."""
    files = list(PLANTED_FILES)
    for n in sorted({**PLANTED_OEM, **PLANTED_LATE_OEM}):
        files += ["INF\\oem%d.inf" % n, "INF\\oem%d.pnf" % n]
    return files


def build(base, seed=310):
    """Makes BASE/Windows; returns what it made."""
    g = Gen(seed)
    windir = os.path.join(base, "Windows")
    config = os.path.join(windir, "System32", "config")
    os.makedirs(config, exist_ok=True)
    for d in ("INF", "System32/drivers", "System32/DRVSTORE",
              "LastGood/System32/drivers"):
        os.makedirs(os.path.join(windir, d), exist_ok=True)
    software, stores = build_software(g)
    system = build_system(g)
    sizes = {
        "SOFTWARE": regf.write_hive(os.path.join(config, "SOFTWARE"), software,
                                    "\\SystemRoot\\System32\\Config\\SOFTWARE"),
        "SYSTEM": regf.write_hive(os.path.join(config, "SYSTEM"), system,
                                  "\\SystemRoot\\System32\\Config\\SYSTEM"),
    }
    build_files(g, windir, stores)
    return {
        "windir": windir,
        "hive_sizes": sizes,
        "keys": {"SOFTWARE": regf.count_keys(software),
                 "SYSTEM": regf.count_keys(system)},
        "planted": PLANTED_COUNT,
        "beyond_walk": PLANTED_BEYOND_WALK,
        "vkm310_service_index": system.vkm310_index,
    }


if __name__ == "__main__":
    import json
    import time
    t = time.time()
    info = build(sys.argv[1])
    info["seconds"] = round(time.time() - t, 1)
    print(json.dumps(info, indent=1))
