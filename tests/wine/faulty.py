"""Faulty builds of REMOVE.EXE, one fault each, for the checker's tests: each
function takes the built file's bytes and returns a copy of the same length
with one behaviour broken. The patch sites are found from the file's own
strings and imports (the push of a text's address, the call through an
import's slot) and each must be found exactly once, so that other compiler
output makes the function fail (FaultSiteError) instead of patching another
byte."""

import struct

from kalmaris import CONFIRMATION, STARTUP_QUESTION


class FaultSiteError(AssertionError):
    pass


def _sections(tool):
    """(virtual address, size in memory, file offset, size in the file) of every section."""
    pe = struct.unpack_from("<I", tool, 0x3C)[0]
    count, optional_size = struct.unpack_from("<H", tool, pe + 6)[0], struct.unpack_from("<H", tool, pe + 20)[0]
    table = pe + 24 + optional_size
    sections = [struct.unpack_from("<IIII", tool, table + 40 * i + 8) for i in range(count)]
    return [(address, size, offset, raw) for size, address, raw, offset in sections]


def _image_base(tool):
    pe = struct.unpack_from("<I", tool, 0x3C)[0]
    return struct.unpack_from("<I", tool, pe + 24 + 28)[0]


def _rva_to_offset(tool, rva):
    for address, size, offset, raw in _sections(tool):
        if address <= rva < address + max(size, raw):
            return offset + rva - address
    raise FaultSiteError(f"RVA {rva:#x} lies in no section")


def _address(tool, offset):
    """The 4 bytes of the address in memory of the file's byte at offset."""
    for address, size, start, raw in _sections(tool):
        if start <= offset < start + raw:
            return struct.pack("<I", _image_base(tool) + address + offset - start)
    raise FaultSiteError(f"file offset {offset:#x} lies in no section")


def _import_slot(tool, name):
    """The 4 bytes of the address of name's slot in the import address table."""
    pe = struct.unpack_from("<I", tool, 0x3C)[0]
    directory = struct.unpack_from("<I", tool, pe + 24 + 96 + 8)[0]  # data directory 1: imports
    at = _rva_to_offset(tool, directory)
    found = []
    while True:
        lookup, _, _, _, first_thunk = struct.unpack_from("<IIIII", tool, at)
        if first_thunk == 0:
            break
        names = _rva_to_offset(tool, lookup or first_thunk)
        for index in range(0x10000):
            entry = struct.unpack_from("<I", tool, names + 4 * index)[0]
            if entry == 0:
                break
            if not entry & 0x80000000:
                hint_name = _rva_to_offset(tool, entry) + 2
                if tool[hint_name:tool.index(b"\0", hint_name)] == name.encode("ascii"):
                    found.append(_image_base(tool) + first_thunk + 4 * index)
        at += 20
    if len(found) != 1:
        raise FaultSiteError(f"{name} is imported {len(found)} times")
    return struct.pack("<I", found[0])


def _once(tool, pattern, start=0, end=None, what=None):
    """The offset of pattern, which must occur exactly once in tool[start:end]."""
    end = len(tool) if end is None else end
    count = tool.count(pattern, start, end)
    if count != 1:
        raise FaultSiteError(f"{what or pattern.hex()} found {count} times in {start:#x}..{end:#x}")
    return tool.index(pattern, start, end)


def _patch(tool, at, old, new):
    if tool[at:at + len(old)] != old or len(old) != len(new):
        raise FaultSiteError(f"at {at:#x}: {tool[at:at + len(old)].hex()}, expected {old.hex()}")
    return tool[:at] + new + tool[at + len(old):]


def _text_push(tool, text):
    """The offset of the one push of text's address (text found once, zero-terminated)."""
    return _once(tool, b"\x68" + _address(tool, _once(tool, text + b"\0", what=repr(text))), what=f"push {text!r}")


def _one_of(tool, patterns, start, end, what):
    """The offset and the pattern of the one of patterns that occurs, exactly
    once, in tool[start:end] (compilers pick other registers)."""
    found = [(tool.index(p, start, end), p) for p in patterns if tool.count(p, start, end) == 1]
    if len(found) != 1 or sum(tool.count(p, start, end) for p in patterns) != 1:
        raise FaultSiteError(f"{what} found {sum(tool.count(p, start, end) for p in patterns)} times in "
                             f"{start:#x}..{end:#x}")
    return found[0]


# The registers an instruction may name (not esp, not ebp).
REGISTERS = (0, 1, 2, 3, 6, 7)


def _box_answer_branch(tool, text):
    """The offset and bytes of the branch on the answer to the box showing
    text: after the push of text, a call of MessageBoxA (through its import
    slot, or through a register loaded from it before), then cmp eax, 6
    (IDYES), register pops at most, and the conditional jump that skips the
    Yes branch (jne, short or near)."""
    pushed = _text_push(tool, text)
    slot = _import_slot(tool, "MessageBoxA")
    compare = _once(tool, b"\x83\xf8\x06", pushed, pushed + 40, "cmp eax, 6 after the box")
    direct = tool.count(b"\xff\x15" + slot, pushed, compare) == 1
    loaded = [r for r in REGISTERS if tool.count(bytes([0x8B, 0x05 | r << 3]) + slot, pushed - 32, pushed) == 1
              and tool.count(bytes([0xFF, 0xD0 | r]), pushed, compare) == 1]
    if not direct and len(loaded) != 1:
        raise FaultSiteError(f"no call of MessageBoxA between {pushed:#x} and {compare:#x}")
    jump = compare + 3
    while 0x58 <= tool[jump] <= 0x5F and jump < compare + 6:  # pops of the call's spilled registers
        jump += 1
    length = 2 if tool[jump] == 0x75 else 6 if tool[jump:jump + 2] == b"\x0f\x85" else 0
    if length == 0:
        raise FaultSiteError(f"no jne after cmp eax, 6 at {jump:#x}: {tool[jump:jump + 2].hex()}")
    return jump, tool[jump:jump + length]


def startup_after_no(tool):
    """The install copies the Startup shortcut whatever the answer to its
    Startup question: the jump that skips the copy on No becomes NOPs."""
    jump, branch = _box_answer_branch(tool, STARTUP_QUESTION)
    return _patch(tool, jump, branch, b"\x90" * len(branch))


def uninstall_after_no(tool):
    """The launcher goes on (copy, worker, WININIT.INI) after the
    confirmation is answered No: the jump to the end on No becomes NOPs."""
    jump, branch = _box_answer_branch(tool, CONFIRMATION)
    return _patch(tool, jump, branch, b"\x90" * len(branch))


def exit_code_1(tool):
    """Every process ends with exit code 1 (the fatal-error exits too). The
    shut-down keeps the exit code in a register, flushes a report left
    pending (je over a call) and pushes that register for ExitProcess: the
    je and the call (7 bytes) become mov reg, 1 and two NOPs. A report left
    pending at the end is not shown then; no ordinary run has one."""
    call = _once(tool, b"\xff\x15" + _import_slot(tool, "ExitProcess"), what="call ExitProcess")
    pushed = tool[call - 1]
    if not 0x50 <= pushed <= 0x57 or pushed - 0x50 not in REGISTERS:
        raise FaultSiteError(f"the byte before the call of ExitProcess is {pushed:#x}, not the push of a register")
    flush = _once(tool, b"\x74\x05\xe8", call - 40, call, "je over the call that flushes the report")
    mov_1 = bytes([0xB8 + pushed - 0x50]) + struct.pack("<I", 1)
    return _patch(tool, flush, tool[flush:flush + 7], mov_1 + b"\x90\x90")


def wininit_anew(tool):
    """WININIT.INI is written anew: the text file's CreateFileA (the one
    push of GENERIC_WRITE) asks for CREATE_ALWAYS (2) instead of OPEN_ALWAYS
    (4); the pushes are attributes 0x80, disposition, no security, no
    sharing, the access."""
    access = _once(tool, b"\x68\x00\x00\x00\x40", what="push GENERIC_WRITE")
    pushes = b"\x68\x80\x00\x00\x00\x6a\x04\x6a\x00\x6a\x00"
    disposition = _once(tool, pushes, access - 24, access, "the pushes of CreateFileA's arguments") + 5
    if disposition + 6 != access:
        raise FaultSiteError(f"the pushes of CreateFileA's arguments end at {disposition + 6:#x}, not {access:#x}")
    return _patch(tool, disposition, b"\x6a\x04", b"\x6a\x02")


def copy_not_replaced(tool):
    """A copy already lying where the launcher puts its own is not replaced:
    the launcher's CopyFileA (the one after the confirmation's box) gets
    fail-if-exists TRUE, the push 0 pushed first, three pushes before the
    call (0, the target, the source; the compiler puts LEAs between them)."""
    confirmation = _text_push(tool, CONFIRMATION)
    copy_call = b"\xff\x15" + _import_slot(tool, "CopyFileA")
    call = _once(tool, copy_call, confirmation, confirmation + 160, "CopyFileA after the confirmation")
    # Between the push 0 and the call: two single-byte pushes of registers
    # (0x50-0x57) and at most two LEAs of six bytes.
    fail_if_exists = _once(tool, b"\x6a\x00", call - 20, call, "push 0 before CopyFileA")
    between = tool[fail_if_exists + 2:call]
    if sum(1 for byte in between if 0x50 <= byte <= 0x57) < 2 or len(between) > 14:
        raise FaultSiteError(f"unexpected code between push 0 and CopyFileA: {between.hex()}")
    return _patch(tool, fail_if_exists, b"\x6a\x00", b"\x6a\x01")


def unquoted_worker(tool):
    """The worker's command line without the double quotes: the line handed
    to CreateProcessA starts one byte later, past the opening quote, and the
    " /REMOVE" suffix is copied one byte earlier, over the closing quote, so
    the line is exactly PATH /REMOVE. Found from the suffix's address: before
    it, movb $0x22 into the line's first byte at ebp+D (the line's buffer)
    and lea reg, [ebp+D]; after it, lea eax, [reg+eax+2] (the suffix's
    place, after the path's length in eax and the two quotes)."""
    suffix = _once(tool, b" /REMOVE\0", what="the worker's switch with its blank")
    reference = _once(tool, _address(tool, suffix), what="the reference to the switch")
    opening = _once(tool, b"\xc6\x85", reference - 48, reference, "movb into the line's first byte")
    buffer = tool[opening + 2:opening + 6]
    if tool[opening + 6] != 0x22:
        raise FaultSiteError(f"at {opening:#x} the byte written is {tool[opening + 6]:#x}, not a quote")
    line, lea = _one_of(tool, [bytes([0x8D, 0x85 | r << 3]) + buffer for r in REGISTERS], opening, reference,
                        "lea reg, the line")
    register = (lea[1] >> 3) & 7
    one_later = struct.pack("<i", struct.unpack("<i", buffer)[0] + 1)
    tool = _patch(tool, line + 2, buffer, one_later)
    sums = [b"\x8d\x44" + bytes([sib]) + b"\x02" for sib in (register, register << 3)]
    place, sum_ = _one_of(tool, sums, reference, reference + 32, "lea eax, [reg+eax+2]")
    return _patch(tool, place, sum_, sum_[:3] + b"\x00")


FAULTS = {f.__name__: f for f in (startup_after_no, uninstall_after_no, exit_code_1, wininit_anew,
                                     copy_not_replaced, unquoted_worker)}
