"""Every registration that the library's code makes to run at the process's
exit, found in its objects as built: a static with an exit-time destructor
(at namespace scope, registered as the library loads; in a function,
registered at its first use), a function handed to atexit or on_exit, or one that the
objects list to run at exit themselves (__attribute__((destructor)), whose
address the compiler puts in .fini_array, or in .dtors). Threads may
still be inside the library as the process exits, so the library keeps what
they read for good; only the registrations listed below, each with its
reason, may run at exit. Run by ctest with nm, objdump and the library's
objects: python3 exit_destructors_test.py <nm> <objdump> <object>...
(an argument may hold several objects, separated by ";"). With
--refuses=<name>,... before the objects, it checks itself instead: it
passes when it refuses a registration of each name, as it must for the
probes of ExitProbes.cxx."""

import os
import re
import subprocess
import sys

# What may run at exit: (text in the registration, why it may).
ALLOWED = [
    ("std::ios_base::Init::~Init()",
     "the standard streams' initialiser that <iostream> declares in each source that "
     "includes it: it flushes the streams and destroys nothing"),
    ("omni_thread::init_t::~init_t()",
     "omniORB's thread library counts the sources that include its header; it frees "
     "nothing that the library's threads read"),
    ("_omniFinalCleanup::~_omniFinalCleanup()",
     "omniORB's own statics, which its headers declare in each source that includes "
     "them: the exit waits for the IIOP connects under way, the ORB's making included, "
     "before they go and refuses new ones (waitForReferencesAtExit)"),
    ("_sub_D_00099_0",
     "AddressSanitizer's, in an object gcc instruments: it unregisters the object's "
     "globals from the sanitizer's checks and frees nothing"),
    ("asan.module_dtor", "the same, in an object clang instruments"),
    ("waitForReferencesAtExit()",
     "the IIOP exit handler: it runs before omniORB's statics go, waits 5 s at most for "
     "the IIOP connects under way, the ORB's making included, and refuses new ones"),
    ("recordExitStatus(int, void*)",
     "registered by the first IIOP connect: it keeps the exit status, with which the "
     "exit ends the process when connects are still under way after its wait"),
    ("endWhereTheExitGaveUp()",
     "the library's last function at exit: with the library linked into the program, it "
     "ends the process where the wait gave up with connects still under way, before "
     "omniORB's statics go, and destroys nothing"),
]

# A thread-local object's destructor (__cxa_thread_atexit) runs as its own
# thread ends, the exiting thread's too: no other thread reads that object.
REGISTRATIONS = ("__cxa_atexit", "atexit", "at_quick_exit", "on_exit")
# Sections whose entries the C runtime calls at exit (with a priority, as
# .fini_array.00101, or without).
EXIT_SECTIONS = re.compile(r"^\.(fini_array|dtors)(\.\d+)?$")


def run(*command):
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout


def lines_by_object(objdump, options, objects):
    """The lines of objdump's output, each with the object it is about."""
    member = None
    for line in run(objdump, *options, *objects).splitlines():
        header = re.match(r"^(\S+):\s+file format", line)
        if header:
            member = os.path.basename(header.group(1))
        else:
            yield member, line


def local_functions(objdump, objects):
    """Functions by object and by their section's offset, for relocations
    that name a section rather than a function of internal linkage."""
    found = {}
    for member, line in lines_by_object(objdump, ["-tC"], objects):
        symbol = re.match(r"^([0-9a-f]+) l\s+F (\S+)\s+[0-9a-f]+\s+(.*)$", line)
        if symbol:
            found[(member, symbol.group(2), int(symbol.group(1), 16))] = symbol.group(3)
    return found


def registrations(objdump, objects):
    """(object, function, what its relocations name) for each call that
    registers something to run at exit."""
    functions = local_functions(objdump, objects)
    found = []
    function = None
    named = []  # what the relocations since the last call name
    for member, line in lines_by_object(objdump, ["-drC", "--no-show-raw-insn"], objects):
        start = re.match(r"^[0-9a-f]+ <(.*)>:$", line)
        if start:
            function, named = start.group(1), []
            continue
        relocation = re.match(r"^\s+[0-9a-f]+: (R_X86_64_\w+)\s+(.*?)([+-]0x[0-9a-f]+)?$", line)
        if relocation:
            kind, target, addend = relocation.groups()
            target = target.split("@")[0]
            if target in REGISTRATIONS:
                found.append((member, function, ", ".join(named)))
                named = []
            elif kind == "R_X86_64_PLT32":  # a call: what follows is set up anew
                named = []
            elif target.startswith("."):
                # A function of internal linkage, named by its section's offset.
                offset = int(addend or "0", 16) + (4 if "PC" in kind or "PLT" in kind else 0)
                named.append(functions.get((member, target, offset), target))
            else:
                named.append(target)
            continue
        # A function that the assembler placed itself: objdump names it.
        placed = re.search(r"# [0-9a-f]+ <([^+>]*)>$", line)
        if placed:
            named.append(placed.group(1))
    return found


def exit_section_entries(objdump, objects):
    """(object, section, the function it names) for each entry of a section
    that the C runtime runs at exit."""
    listing = set()
    for member, line in lines_by_object(objdump, ["-h"], objects):
        section = line.split()
        if len(section) > 1 and EXIT_SECTIONS.match(section[1]):
            listing.add(member)
    paths = [o for o in objects if os.path.basename(o) in listing]
    if not paths:
        return []
    functions = local_functions(objdump, paths)
    found = []
    section = None
    for member, line in lines_by_object(objdump, ["-rC"], paths):
        header = re.match(r"^RELOCATION RECORDS FOR \[(.*)\]:$", line)
        if header:
            section = header.group(1) if EXIT_SECTIONS.match(header.group(1)) else None
            continue
        entry = re.match(r"^[0-9a-f]+ (R_X86_64_\w+)\s+(.*?)([+-]0x[0-9a-f]+)?$", line)
        if section and entry:
            target, addend = entry.group(2), entry.group(3)
            if target.startswith("."):
                target = functions.get((member, target, int(addend or "0", 16)), target)
            found.append((member, "(%s)" % section, target))
    return found


def main(nm, objdump, arguments):
    expected = []
    if arguments and arguments[0].startswith("--refuses="):
        expected = arguments.pop(0)[len("--refuses="):].split(",")
    objects = [o for argument in arguments for o in argument.split(";") if o]
    # Only the objects that call a registration are read in full.
    calling = set()
    for line in run(nm, "-A", "--undefined-only", *objects).splitlines():
        path, _, symbol = line.rpartition(" ")
        if symbol in REGISTRATIONS:
            calling.add(path.split(":")[0])
    found = registrations(objdump, sorted(calling)) if calling else []
    found += exit_section_entries(objdump, objects)
    refused = [r for r in found if not any(text in r[2] for text, _ in ALLOWED)]
    for member, function, named in found:
        print("%s: %s registers %s" % (member, function, named or "?"))
    if expected:
        missed = [n for n in expected if not any(n in r[1] + r[2] for r in refused)]
        for name in missed:
            print("not refused: %s" % name)
        return 1 if missed else 0
    if refused:
        print("\nRegistered to run at exit, and not allowed (keep the static for good, "
              "made from a new that nothing deletes):")
        for member, function, named in refused:
            print("  %s: in %s: %s" % (member, function, named or "?"))
        return 1
    if not found:
        print("no registration found: the objects' code was not read")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2], sys.argv[3:]))
