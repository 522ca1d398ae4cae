#!/usr/bin/env python3
"""Prints where a crash happened, from a minidump and the program's debug file.

    crash_report.py DUMP DEBUG_FILE

The crash's exception code and name, its thread, the faulting address as
module plus offset, and the crashing thread's stack as far as it can be
recovered: the instruction pointer, then every word of the thread's stack
memory above the stack pointer that points into a loaded module, as a
return address would. A word in the program whose debug file names a
function for it is shown with the function, file and line (binutils'
addr2line); a word in another module as module plus offset. Such a scan also
shows stale return addresses and code pointers kept on the stack; the frames
of the crash are among them, nearest first.

Reads the documented minidump format (MINIDUMP_HEADER, its stream
directory, ThreadListStream, ModuleListStream, ExceptionStream,
SystemInfoStream) of 32-bit and 64-bit x86 Windows processes.
"""

import os
import re
import struct
import subprocess
import sys

THREAD_LIST_STREAM = 3
MODULE_LIST_STREAM = 4
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

# Where the stack and instruction pointers lie in a thread's CONTEXT.
X86_CONTEXT = {"word": 4, "sp": 0xC4, "ip": 0xB8}
AMD64_CONTEXT = {"word": 8, "sp": 0x98, "ip": 0xF8}

CXXFILT = "c++filt"

# Frames shown before only the program's own are, and the longest cycle of
# a recursion shown once.
MOST_FRAMES = 40
RECURSION_FRAMES = 4


class Minidump:
    def __init__(self, data):
        self.data = data
        if len(data) < 32 or data[:4] != b"MDMP":
            raise ValueError("not a minidump")
        _, _, count, directory = struct.unpack_from("<4sIII", data, 0)
        self.streams = {}
        for index in range(count):
            kind, size, rva = struct.unpack_from("<III", data, directory + 12 * index)
            self.streams.setdefault(kind, (rva, size))

    def stream(self, kind):
        if kind not in self.streams:
            raise ValueError("the dump has no stream %d" % kind)
        return self.streams[kind][0]

    def text(self, rva):
        (length,) = struct.unpack_from("<I", self.data, rva)
        return self.data[rva + 4 : rva + 4 + length].decode("utf-16-le")

    def modules(self):
        rva = self.stream(MODULE_LIST_STREAM)
        (count,) = struct.unpack_from("<I", self.data, rva)
        for index in range(count):
            base, size, _, _, name = struct.unpack_from("<QIIII", self.data, rva + 4 + 108 * index)
            yield base, size, self.text(name)

    def threads(self):
        rva = self.stream(THREAD_LIST_STREAM)
        (count,) = struct.unpack_from("<I", self.data, rva)
        for index in range(count):
            entry = rva + 4 + 48 * index
            thread = struct.unpack_from("<I", self.data, entry)[0]
            start, size, memory = struct.unpack_from("<QII", self.data, entry + 24)
            yield thread, start, self.data[memory : memory + size]

    def exception(self):
        rva = self.stream(EXCEPTION_STREAM)
        thread, _, code, _, _, address = struct.unpack_from("<IIIIQQ", self.data, rva)
        _, context = struct.unpack_from("<II", self.data, rva + 160)
        return thread, code, address, context

    def is_64_bit(self):
        rva = self.stream(SYSTEM_INFO_STREAM)
        return struct.unpack_from("<H", self.data, rva)[0] == ARCHITECTURE_AMD64


def image_base(path):
    """The preferred load address in a PE file's optional header, and
    whether the file is a 64-bit one."""
    with open(path, "rb") as file:
        header = file.read(4096)
    pe = struct.unpack_from("<I", header, 0x3C)[0]
    optional = pe + 24
    if struct.unpack_from("<H", header, optional)[0] == 0x20B:
        return struct.unpack_from("<Q", header, optional + 24)[0], True
    return struct.unpack_from("<I", header, optional + 28)[0], False


class Symbols:
    """Function, file and line of addresses in the program, by the MinGW
    binutils' addr2line of the debug file's architecture."""

    def __init__(self, debug_file, module_base):
        self.debug_file = debug_file
        base, wide = image_base(debug_file)
        self.addr2line = ("x86_64" if wide else "i686") + "-w64-mingw32-addr2line"
        self.shift = base - module_base

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


def module_of(modules, address):
    for base, size, name in modules:
        if base <= address < base + size:
            return base, name.replace("/", "\\").rsplit("\\", 1)[-1]
    return None, None


def report(dump_path, debug_file):
    with open(dump_path, "rb") as file:
        dump = Minidump(file.read())
    modules = list(dump.modules())
    thread, code, address, context_rva = dump.exception()
    layout = AMD64_CONTEXT if dump.is_64_bit() else X86_CONTEXT
    word = layout["word"]
    pointer = "<Q" if word == 8 else "<I"
    sp = struct.unpack_from(pointer, dump.data, context_rva + layout["sp"])[0]
    ip = struct.unpack_from(pointer, dump.data, context_rva + layout["ip"])[0]

    def place(value):
        base, name = module_of(modules, value)
        return "%s+0x%x" % (name, value - base) if name else "0x%x (in no module)" % value

    print("Exception: 0x%08X %s" % (code, EXCEPTION_NAMES.get(code, "(unknown code)")))
    print("Thread: %d (0x%x)" % (thread, thread))
    print("Address: %s" % place(address))

    candidates = [ip]
    for stack_thread, start, memory in dump.threads():
        if stack_thread != thread:
            continue
        first = max(sp, start) - start
        first -= first % word
        for offset in range(first, len(memory) - word + 1, word):
            value = struct.unpack_from(pointer, memory, offset)[0]
            if module_of(modules, value)[1]:
                candidates.append(value)

    program_name = os.path.basename(debug_file)[: -len(".debug")].lower()
    program = [m for m in modules if m[2].replace("/", "\\").rsplit("\\", 1)[-1].lower() == program_name]
    program_base, program_size = (program[0][0], program[0][1]) if program else (None, 0)
    symbols = {}
    if program_base is not None:
        inside = sorted({c for c in candidates if program_base <= c < program_base + program_size})
        symbols = Symbols(debug_file, program_base).lookup(inside)

    print("Stack of thread %d, nearest first (a scan for return addresses):" % thread)
    shown, recent, repeated = 0, [], 0
    for value in candidates:
        base, name = module_of(modules, value)
        in_program = program_base is not None and base == program_base
        if in_program and value not in symbols and value != ip:
            continue
        # A recursion, as in a stack overflow, shows its few frames once.
        if value in recent:
            repeated += 1
            continue
        # Past the first frames, only the program's own are worth a line.
        if shown >= MOST_FRAMES and value not in symbols:
            continue
        if repeated:
            print("       (%d repeated addresses left out)" % repeated)
            repeated = 0
        recent = (recent + [value])[-RECURSION_FRAMES:]
        line = "  #%-2d %s" % (shown, place(value))
        if value in symbols:
            line += "  " + symbols[value]
        print(line)
        shown += 1


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__.split("\n\n")[1])
    try:
        report(*sys.argv[1:])
    except (OSError, ValueError, struct.error) as error:
        sys.exit("crash report: %s" % error)


if __name__ == "__main__":
    main()
