#!/usr/bin/env python3
"""Prints where a crash happened, from a minidump and the program's debug file.

    crash_report.py DUMP DEBUG_FILE

DEBUG_FILE is the program's debug file, or the debug zip of its release
that holds it.

The crash's exception code and name, its thread, the faulting address as
module plus offset, whether the debug file is the one of the dump's program,
and the crashed thread's stack, nearest first. The program is the first
module of the dump's module list, whatever its file is called; the debug
file is its own when both carry the same build id (the CodeView record of
the program's debug directory, which the dump's module list keeps). Only
then are the program's frames shown with function, file and line (binutils'
addr2line); other frames as module plus offset.

The stack is the chain of frame pointers (EBP, then the saved EBP and the
return address beside it) from the crash's registers, as the program is
built with frame pointers. Where the chain breaks, as in code built without
them, the walk scans the stack for the next word that points into a module,
as a return address would, and picks the chain up again above it; frames so
found are marked "(scanned)" and may be stale. 64-bit code keeps no such
chain (MinGW's points its frame pointer into the middle of the frame; the
frames are described by unwind data, which the report does not read): a
64-bit stack is a scan from the stack pointer on.

Reads the documented minidump format (MINIDUMP_HEADER, its stream
directory, ThreadListStream, ModuleListStream, MemoryListStream,
ExceptionStream, SystemInfoStream) of 32-bit and 64-bit x86 Windows
processes. Every size and offset is checked against the file: a cut or
damaged dump gets one line of error, in bounded time.
"""

import bisect
import os
import re
import struct
import subprocess
import sys
import tempfile
import uuid
import zipfile

THREAD_LIST_STREAM = 3
MODULE_LIST_STREAM = 4
MEMORY_LIST_STREAM = 5
EXCEPTION_STREAM = 6
SYSTEM_INFO_STREAM = 7
ARCHITECTURE_AMD64 = 9

EXCEPTION_NAMES = {
    0x80000002: "EXCEPTION_DATATYPE_MISALIGNMENT",
    0x80000003: "EXCEPTION_BREAKPOINT",
    0x80000004: "EXCEPTION_SINGLE_STEP",
    0xC0000005: "EXCEPTION_ACCESS_VIOLATION",
    0xC0000006: "EXCEPTION_IN_PAGE_ERROR",
    0xC000001D: "EXCEPTION_ILLEGAL_INSTRUCTION",
    0xC0000025: "EXCEPTION_NONCONTINUABLE_EXCEPTION",
    0xC000008C: "EXCEPTION_ARRAY_BOUNDS_EXCEEDED",
    0xC000008E: "EXCEPTION_FLT_DIVIDE_BY_ZERO",
    0xC0000094: "EXCEPTION_INT_DIVIDE_BY_ZERO",
    0xC0000095: "EXCEPTION_INT_OVERFLOW",
    0xC0000096: "EXCEPTION_PRIV_INSTRUCTION",
    0xC00000FD: "EXCEPTION_STACK_OVERFLOW",
    0xC0000374: "STATUS_HEAP_CORRUPTION",
    0xC0000409: "STATUS_STACK_BUFFER_OVERRUN",
    0xE06D7363: "C++ exception (Microsoft)",
    0x20474343: "C++ exception (GCC)",
}

# Where the frame, stack and instruction pointers lie in a thread's CONTEXT.
X86_CONTEXT = {"word": 4, "fp": 0xB4, "ip": 0xB8, "sp": 0xC4}
AMD64_CONTEXT = {"word": 8, "fp": 0xA0, "ip": 0xF8, "sp": 0x98}

# Sizes of the format's records, and places in them.
DIRECTORY_ENTRY = 12
MODULE = 108
MODULE_CV_RECORD = 76
THREAD = 48
MEMORY_RANGE = 16
EXCEPTION_CONTEXT = 160
IMAGE_DEBUG_TYPE_CODEVIEW = 2

CXXFILT = "c++filt"

# The walk's bounds: frames, the words one scan looks at (past the largest
# frame the program makes), and the stack it reads above the crash.
MOST_FRAMES = 2000
SCAN_WORDS = 8192
MOST_STACK = 4 << 20
# The longest cycle of a recursion shown once.
RECURSION_FRAMES = 4


class ReportError(ValueError):
    pass


class Minidump:
    def __init__(self, data):
        self.data = data
        if len(data) < 32 or data[:4] != b"MDMP":
            raise ReportError("not a minidump")
        count, directory = struct.unpack_from("<II", data, 8)
        self.check(directory, count, DIRECTORY_ENTRY, "the stream directory")
        self.streams = {}
        for index in range(count):
            kind, size, rva = struct.unpack_from("<III", data, directory + DIRECTORY_ENTRY * index)
            self.streams.setdefault(kind, (rva, size))

    def check(self, rva, count, size, what):
        if rva + count * size > len(self.data):
            raise ReportError("%s (%d bytes at 0x%x) lies past the dump's end: the dump is cut or damaged"
                              % (what, count * size, rva))

    def unpack(self, layout, rva, what):
        self.check(rva, 1, struct.calcsize(layout), what)
        return struct.unpack_from(layout, self.data, rva)

    def entries(self, kind, size, what):
        """The offsets of a list stream's entries."""
        if kind not in self.streams:
            raise ReportError("the dump has no %s" % what)
        rva, stream_size = self.streams[kind]
        (count,) = self.unpack("<I", rva, what)
        if 4 + count * size > stream_size:
            raise ReportError("the %s claims %d entries, more than its %d bytes hold"
                              % (what, count, stream_size))
        self.check(rva + 4, count, size, what)
        return range(rva + 4, rva + 4 + count * size, size)

    def text(self, rva):
        (length,) = self.unpack("<I", rva, "a module's name")
        self.check(rva + 4, 1, length, "a module's name")
        return self.data[rva + 4 : rva + 4 + length].decode("utf-16-le", "replace")

    def modules(self):
        """Base, size, file name and CodeView record of each module, the
        program first."""
        for entry in self.entries(MODULE_LIST_STREAM, MODULE, "module list"):
            base, size, _, _, name = self.unpack("<QIIII", entry, "the module list")
            cv_size, cv_rva = self.unpack("<II", entry + MODULE_CV_RECORD, "the module list")
            self.check(cv_rva, 1, cv_size, "a module's CodeView record")
            name = self.text(name).replace("/", "\\").rsplit("\\", 1)[-1]
            yield base, size, name, self.data[cv_rva : cv_rva + cv_size]

    def memory(self):
        """Start and file offset of each block of memory the dump holds:
        the memory list's, and the threads' stacks."""
        blocks = []
        if MEMORY_LIST_STREAM in self.streams:
            for entry in self.entries(MEMORY_LIST_STREAM, MEMORY_RANGE, "memory list"):
                blocks.append(self.unpack("<QII", entry, "the memory list"))
        for entry in self.entries(THREAD_LIST_STREAM, THREAD, "thread list"):
            blocks.append(self.unpack("<QII", entry + 24, "the thread list"))
        for start, size, rva in blocks:
            self.check(rva, 1, size, "memory at 0x%x" % start)
        return blocks

    def exception(self):
        if EXCEPTION_STREAM not in self.streams:
            raise ReportError("the dump has no exception stream")
        rva = self.streams[EXCEPTION_STREAM][0]
        thread, _, code, _, _, address = self.unpack("<IIIIQQ", rva, "the exception stream")
        context_size, context = self.unpack("<II", rva + EXCEPTION_CONTEXT, "the exception stream")
        self.check(context, 1, context_size, "the crash's registers")
        return thread, code, address, context, context_size

    def is_64_bit(self):
        if SYSTEM_INFO_STREAM not in self.streams:
            raise ReportError("the dump has no system information")
        (architecture,) = self.unpack("<H", self.streams[SYSTEM_INFO_STREAM][0], "the system information")
        return architecture == ARCHITECTURE_AMD64


class PeFile:
    """The header fields of a PE file the report needs: its preferred load
    address, its width, and its CodeView record and build id."""

    def __init__(self, path):
        with open(path, "rb") as file:
            self.data = file.read()
        try:
            pe = struct.unpack_from("<I", self.data, 0x3C)[0]
            if self.data[:2] != b"MZ" or self.data[pe : pe + 4] != b"PE\0\0":
                raise ReportError("%s is not a PE file" % path)
            sections, optional_size = struct.unpack_from("<H12xH", self.data, pe + 6)
            optional = pe + 24
            self.wide = struct.unpack_from("<H", self.data, optional)[0] == 0x20B
            base_at = optional + (24 if self.wide else 28)
            self.base = struct.unpack_from("<Q" if self.wide else "<I", self.data, base_at)[0]
            directories = optional + (112 if self.wide else 96)
            self.sections = [struct.unpack_from("<12xIII", self.data, pe + 24 + optional_size + 40 * index)
                             for index in range(sections)]
            debug_rva, debug_size = struct.unpack_from("<II", self.data, directories + 8 * 6)
            self.codeview = self.codeview_record(debug_rva, debug_size)
        except struct.error:
            raise ReportError("%s is a cut or damaged PE file" % path)
        self.build_id = build_id(self.codeview)

    def offset(self, rva):
        """Where the byte at RVA lies in the file, if it does."""
        for address, size, raw in self.sections:
            if address <= rva < address + size and raw:
                return raw + rva - address
        return None

    def codeview_record(self, rva, size):
        where = self.offset(rva) if size else None
        if where is None:
            return b""
        for entry in range(where, where + size - 27, 28):
            kind, data_size, data_rva = struct.unpack_from("<12xIII", self.data, entry)
            data = self.offset(data_rva)
            if kind == IMAGE_DEBUG_TYPE_CODEVIEW and data is not None:
                return self.data[data : data + data_size]
        return b""


def build_id(codeview):
    """The GUID and age of an RSDS CodeView record, as debuggers and
    symbol servers write a program's debug id."""
    if len(codeview) < 24 or codeview[:4] != b"RSDS":
        return None
    return "%s-%x" % (uuid.UUID(bytes_le=codeview[4:20]), struct.unpack_from("<I", codeview, 20)[0])


class Symbols:
    """Function, file and line of addresses in the program, by the MinGW
    binutils' addr2line of the debug file's architecture."""

    def __init__(self, debug_file, image, module_base):
        self.debug_file = debug_file
        self.addr2line = ("x86_64" if image.wide else "i686") + "-w64-mingw32-addr2line"
        self.shift = image.base - module_base

    def lookup(self, addresses):
        if not addresses:
            return {}
        command = [self.addr2line, "-e", self.debug_file, "-f", "-i", "-p"]
        command += ["0x%x" % (address + self.shift) for address in addresses]
        output = demangle(subprocess.run(command, capture_output=True, text=True, check=True).stdout)
        # One line per address, and one more per inlined caller.
        places, current = [], None
        for line in output.splitlines():
            if line.startswith(" (inlined by) "):
                current += "; inlined in " + tidy(line[len(" (inlined by) ") :])
            else:
                if current is not None:
                    places.append(current)
                current = tidy(line)
        places.append(current)
        return {address: place for address, place in zip(addresses, places) if not place.startswith("??")}


def demangle(output):
    """C++ names as written. The 32-bit MinGW debug information names
    functions without the leading underscore that demanglers expect."""
    output = re.sub(r"^(\s*(?:\(inlined by\) )?)(Z[0-9NL])", r"\1_\2", output, flags=re.M)
    return subprocess.run([CXXFILT], input=output, capture_output=True, text=True, check=True).stdout


def tidy(place):
    """Source paths relative to the project, as a developer reads them."""
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__))) + os.sep
    return place.replace(root, "")


class Modules:
    """The modules by address, for look-ups in logarithmic time."""

    def __init__(self, modules):
        self.sorted = sorted(modules)
        self.bases = [module[0] for module in self.sorted]

    def of(self, address):
        index = bisect.bisect_right(self.bases, address) - 1
        if index >= 0 and address < self.sorted[index][0] + self.sorted[index][1]:
            return self.sorted[index]
        return None


class Stack:
    """The crashed thread's stack above its stack pointer, as the dump holds
    it, and the walk of its frames. Each word is looked at a bounded number
    of times: the scans move up the stack, and the search for a frame goes
    on where the last one gave up."""

    def __init__(self, dump, blocks, sp, word, modules):
        self.word = word
        self.chain = word == 4
        self.modules = modules
        self.format = "<Q" if word == 8 else "<I"
        self.data, self.start = b"", sp
        for start, size, rva in blocks:
            if start <= sp < start + size:
                size = min(size, sp - start + MOST_STACK)
                self.data, self.start = dump.data[rva : rva + size], start
        self.end = self.start + len(self.data)
        # Below this address no word is a frame of the chain.
        self.no_frame_below = self.start

    def at(self, address):
        return struct.unpack_from(self.format, self.data, address - self.start)[0]

    def is_code(self, value):
        return self.modules.of(value) is not None

    def is_frame(self, fp, sp):
        """Whether FP can be a frame of the chain above SP: the saved frame
        pointer and a return address into a module."""
        return (fp is not None and sp <= fp and fp % self.word == 0 and fp + 2 * self.word <= self.end
                and self.is_code(self.at(fp + self.word)))

    def is_first_frame(self, fp, sp):
        """Whether FP is the thread's first frame, which saved no frame
        pointer and returns nowhere."""
        return (sp <= fp and fp + 2 * self.word <= self.end
                and self.at(fp) == 0 and self.at(fp + self.word) == 0)

    def words(self, sp, last):
        """The addresses of the words from SP on, up to a scan's reach and
        LAST."""
        first = max(sp, self.start)
        first += -(first - self.start) % self.word
        return range(first, min(last, first + SCAN_WORDS * self.word) + 1, self.word)

    def scan(self, sp):
        """The first word from SP on, within a scan's reach, that points
        into a module."""
        for address in self.words(sp, self.end - self.word):
            if self.is_code(self.at(address)):
                return address
        return None

    def frame_above(self, sp):
        """The nearest frame of the chain above SP, where a scan found the
        return address of a caller whose frame pointer is not known: a saved
        frame pointer, itself a frame, beside a return address."""
        candidates = self.words(max(sp, self.no_frame_below), self.end - 2 * self.word)
        for frame in candidates:
            if self.is_frame(frame, sp) and self.is_frame(self.at(frame), frame + 1):
                self.no_frame_below = frame
                return frame
        self.no_frame_below = max(self.no_frame_below, candidates.stop)
        return None

    def walk(self, ip, sp, fp):
        """The frames as (return address, found by scanning), nearest first."""
        frames = [(ip, False)]
        followed = set()
        while len(frames) < MOST_FRAMES:
            if fp in followed:
                raise ReportError("the stack's frame chain loops at 0x%x: the dump is damaged" % fp)
            if self.chain and self.is_frame(fp, sp):
                followed.add(fp)
                ip, sp, fp = self.at(fp + self.word), fp + 2 * self.word, self.at(fp)
                frames.append((ip, False))
                if fp == 0 or self.is_first_frame(fp, sp):
                    break
                continue
            found = self.scan(sp)
            if found is None:
                break
            ip, sp = self.at(found), found + self.word
            if self.chain and not self.is_frame(fp, sp):
                fp = self.frame_above(sp)
            frames.append((ip, True))
        return frames


def debug_file_in(path, folder):
    """The debug file itself, or the one a release's debug zip holds."""
    if not zipfile.is_zipfile(path):
        return path
    with zipfile.ZipFile(path) as archive:
        names = [name for name in archive.namelist() if name.endswith(".debug")]
        if len(names) != 1:
            raise ReportError("%s holds %d debug files, not one" % (path, len(names)))
        return archive.extract(names[0], folder)


def report(dump_path, debug_path, folder):
    """The report's lines."""
    with open(dump_path, "rb") as file:
        dump = Minidump(file.read())
    listed = list(dump.modules())
    if not listed:
        raise ReportError("the dump lists no modules")
    modules = Modules([module[:3] for module in listed])
    program_base, program_size, program, program_cv = listed[0]
    thread, code, address, context, context_size = dump.exception()
    layout = AMD64_CONTEXT if dump.is_64_bit() else X86_CONTEXT
    if context_size < max(layout[key] for key in ("fp", "ip", "sp")) + layout["word"]:
        raise ReportError("the crash's registers are cut short (%d bytes)" % context_size)
    word = layout["word"]
    registers = {key: struct.unpack_from("<Q" if word == 8 else "<I", dump.data, context + layout[key])[0]
                 for key in ("fp", "ip", "sp")}

    def place(value):
        module = modules.of(value)
        return "%s+0x%x" % (module[2], value - module[0]) if module else "0x%x (in no module)" % value

    lines = ["Exception: 0x%08X %s" % (code, EXCEPTION_NAMES.get(code, "(unknown code)")),
             "Thread: %d (0x%x)" % (thread, thread),
             "Address: %s" % place(address)]

    debug_file = debug_file_in(debug_path, folder)
    image = PeFile(debug_file)
    program_id = build_id(program_cv)
    debug_name = os.path.basename(debug_file)
    if program_id:
        lines.append("Program: %s, build %s" % (program, program_id))
    else:
        lines.append("Program: %s, the dump keeps no build id" % program)
    if program_id and program_id == image.build_id:
        lines.append("Debug file: %s, the same build" % debug_name)
        symbols = Symbols(debug_file, image, program_base)
    else:
        if program_id and image.build_id:
            verdict = "is not this program's (its build is %s)" % image.build_id
        else:
            verdict = "cannot be checked against this program (%s)" % (
                "it carries no build id" if program_id else "the dump keeps no build id")
        lines.append("Debug file: %s %s: no function names from it" % (debug_name, verdict))
        symbols = None

    stack = Stack(dump, dump.memory(), registers["sp"], word, modules)
    frames = stack.walk(registers["ip"], registers["sp"], registers["fp"])
    # A return address is the instruction after the call: the call is the
    # byte before it, and so is its line.
    calls = [value - (index > 0) for index, (value, _) in enumerate(frames)]
    names = {}
    if symbols:
        inside = {call for call in calls if program_base <= call < program_base + program_size}
        names = symbols.lookup(sorted(inside))
    lines.append("Stack of thread %d, nearest first (\"(scanned)\": found by a scan, maybe stale):" % thread)
    return lines + stack_lines(frames, calls, names, place)


def stack_lines(frames, calls, names, place):
    """A line a frame, with the function's name where there is one; a
    recursion, as in a stack overflow, shows its few frames once."""
    lines, recent, repeated, shown = [], [], 0, 0
    for (value, scanned), call in zip(frames, calls):
        if value in recent:
            repeated += 1
            continue
        if repeated:
            lines.append("       (%d repeated frames left out)" % repeated)
            repeated = 0
        recent = (recent + [value])[-RECURSION_FRAMES:]
        line = "  #%-2d %s" % (shown, place(value))
        if call in names:
            line += "  " + names[call]
        lines.append(line + ("  (scanned)" if scanned else ""))
        shown += 1
    if repeated:
        lines.append("       (%d repeated frames left out)" % repeated)
    if len(frames) >= MOST_FRAMES:
        lines.append("       (the walk stops after %d frames)" % MOST_FRAMES)
    return lines


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__.split("\n\n")[1])
    try:
        with tempfile.TemporaryDirectory() as folder:
            print("\n".join(report(sys.argv[1], sys.argv[2], folder)))
    except (OSError, ValueError, struct.error, zipfile.BadZipFile, subprocess.CalledProcessError) as error:
        sys.exit("crash report: %s" % error)


if __name__ == "__main__":
    main()
