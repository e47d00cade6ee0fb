"""The program's own texts, as the transcripts must show them."""

import os

from vkmtest import build_dir


def build_date(target):
    with open(os.path.join(build_dir(target), "build_date.txt")) as f:
        return f.read().strip()


def banner(target):
    return (
        "Tarnwick -- VKM310_cleanup\n"
        "----------------------------\n"
        "Utility to remove any previous or damaged installation of RDX7 PC/SC\n"
        "driver (VKM310 packages)\n"
        "Build : %s\n"
        "(c) Tarnwick 2011\n"
        "See www.tarnwick.example for information and updates\n"
        "\n"
        "\n" % build_date(target)
    )


USAGE = (
    "vkm310_cleanup [-f]\n"
    "\n"
    "  -f : Actually do the cleanup\n"
    "       if this flag is not set, the software will show\n"
    "       what should be done, without doing anything.\n"
    "  -y : Answer yes to all questions\n"
    "       (use it with care !)\n"
    "\n"
)

DISCLAIMER_QUESTION = "Do you agree with the above statement [Y/N] ? "

DISCLAIMER = (
    "DISCLAIMER :\n"
    "  This software performs automated actions in the Windows\n"
    "  including removing keys in system's hive.\n"
    "  This software also removes files from the Windows\n"
    "  system directories.\n"
    "  This may have unpredictable consequence, including fatal\n"
    "  damages, onto your operating system\n"
    "\n"
    "  YOU ARE USING THIS SOFTWARE AT YOUR OWN RISK.\n"
    "\n"
    "  Tarnwick should not be held responsible nor would be\n"
    "  liable for any sort of indirect, accidental, incidental\n"
    "  or special damage including lost profits, resources or\n"
    "  any material or intellectual asset following the use\n"
    "  of this software.\n"
    "\n" + DISCLAIMER_QUESTION
)

CHOICES = ">>> [Y]es | Yes to [A]ll | [N]o | [C]ancel ? "

Q_FILE = "Do you want to delete this file ?"
Q_OEM = "Do you want to erase this OEM file ?"
Q_DRVSTORE = "Do you want to erase the files and remove the associated registry key ?"
Q_KEY = "Do you want to remove this registry key ?"

WORDS = {"y": "Yes...", "a": "Yes to all...", "n": "No...", "c": "Cancel..."}

CLEAN = "Nothing to do, this system is clean !\n"


def question(text, answer):
    """The item prompt with QUESTION answered by key ANSWER."""
    return "\n>>> %s\n%s%s\n\n" % (text, CHOICES, WORDS[answer])


def found_dry(n):
    return '\n%d item(s) found\nYou may run "vkm310_cleanup -f" for cleanup\n' % n


# The closing line of a run that made a backup, its folder shown as the
# harness shows it.
BACKUP = "Backup of the removed items: <backup>\n"


def fixed_all(n, unread=""):
    """The summary of a cleanup that fixed all N items; UNREAD (the line
    saying places were not read) stands before the backup line."""
    return ("\n%d item(s) fixed\nYou must now reboot your system\n" % n
            + unread + BACKUP)


def found_fixed(found, fixed, backup=None, unread=""):
    """The summary of a cleanup; BACKUP (by default: something was fixed)
    adds the backup line, after UNREAD."""
    if backup is None:
        backup = fixed > 0
    return "\n%d item(s) found, %d fixed\n" % (found, fixed) + unread + (
        BACKUP if backup else "")


SOFT = r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion"
DRVSTORE_KEY = SOFT + r"\DIFx\DriverStore"
UNINSTALL_KEY = SOFT + r"\Uninstall"
CLASS_KEY = (r"HKLM\SYSTEM\CurrentControlSet\Control\Class"
             r"\{50DD5230-BA8A-11D1-BF5D-0000F805F530}")
SERVICES_KEY = r"HKLM\SYSTEM\CurrentControlSet\Services"


def answered(found, questions, answers):
    """The transcript of items reported as FOUND, asked QUESTIONS and
    answered with the keys ANSWERS (y, a, n, c), and how many items were
    reported before the run stopped."""
    text, reported, yes_to_all = "", 0, False
    pending = iter(answers)
    for line, q in zip(found, questions):
        text += line
        reported += 1
        if yes_to_all:
            continue
        key = next(pending)
        text += question(q, key)
        yes_to_all = key == "a"
        if key == "c":
            break
    return text, reported
